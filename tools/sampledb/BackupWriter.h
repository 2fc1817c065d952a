#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One file of the phone as a backup stores it, with where its bytes come from.
struct BackupFile {
    QString domain;
    QString relativePath;
    QString sourcePath;
};

struct BackupOptions {
    QString deviceName = QStringLiteral("Test iPhone");
    QString iosVersion = QStringLiteral("17.5");
    QDateTime date = QDateTime(QDate(2026, 12, 3), QTime(9, 30), Qt::UTC);
    std::optional<QByteArray> password;  // encrypted with it when set
    // Key-derivation rounds; a phone uses 10,000 and 10,000,000, tests far fewer.
    quint32 iterations = 10;
    quint32 sha256Iterations = 100;
};

// One person of a phone's address book.
struct AddressBookPerson {
    QString first;
    QString middle;
    QString last;
    QString organization;
    QStringList phones;  // as shown on the phone, e.g. "(919) 391-2507"
    QStringList emails;
};

// Writes an iPhone backup folder (Info.plist, Manifest.plist, Manifest.db and the file blobs)
// holding `files`, as iOS 10.2 and later write it. Throws std::runtime_error.
void writeBackup(const QString &folder, const QList<BackupFile> &files, const BackupOptions &options = {});
// The Messages database at `chatDbPath` and its companions as the phone's sms.db files.
QList<BackupFile> messagesFiles(const QString &chatDbPath);
// Writes an AddressBook.sqlitedb with the phone's tables for the people, in order.
void writeAddressBook(const QString &path, const QList<AddressBookPerson> &people);
