#pragma once

#include "ContactResolver.h"
#include "Models.h"

#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <exception>
#include <memory>
#include <optional>

struct sqlite3;
class PrivateFolder;

// Why a phone backup could not be used, as the user is told it.
class BackupError : public std::exception {
    Q_DECLARE_TR_FUNCTIONS(BackupError)

public:
    enum class Kind { noMessages, wrongPassword, unreadable, unsupported, cancelled };

    explicit BackupError(Kind kind, QString detail = {});

    Kind kind() const { return m_kind; }
    QString errorDescription() const;
    const char *what() const noexcept override { return m_what.constData(); }

private:
    Kind m_kind;
    QString m_detail;
    QByteArray m_what;
};

// What the backup's Info.plist and Manifest.plist tell about it.
struct BackupInfo {
    QString folder;
    QString deviceName;
    QString iosVersion;
    std::optional<RefDate> date;
    bool encrypted = false;
};

// One iPhone backup folder (as Finder, the Apple Devices app or idevicebackup2 write it), read
// without trusting a byte of it. Encrypted backups are unlocked with the user's password; the
// keys live only in this object and are wiped with it. Not for concurrent use.
class Backup {
public:
    static inline const QString homeDomain = QStringLiteral("HomeDomain");
    static inline const QString messagesPath = QStringLiteral("Library/SMS/sms.db");
    static inline const QString addressBookPath = QStringLiteral("Library/AddressBook/AddressBook.sqlitedb");

    // Where the system's backups live, then the folders the user chose before.
    static QStringList standardFolders();
    static QStringList rememberedFolders();
    static void rememberFolder(const QString &folder);
    // Every backup in the folders (a folder may be a backup itself or hold one per device),
    // newest first; folders that are no backup are passed over.
    static QList<BackupInfo> discover(const QStringList &folders);
    static std::optional<BackupInfo> describe(const QString &folder);

    // Throws BackupError when the folder is no readable backup.
    explicit Backup(const QString &folder);
    ~Backup();
    Backup(const Backup &) = delete;
    Backup &operator=(const Backup &) = delete;

    const BackupInfo &info() const { return m_info; }
    bool isLocked() const;
    // Derives the keys from the password (seconds of work: call it off the main thread) and wipes
    // the password. Throws BackupError: wrongPassword, cancelled, unreadable.
    void unlock(QByteArray &password, const std::atomic_bool &cancelled = false);

    // Writes a file of the backup, decrypted, as a new private file at `target`. False when the
    // backup has no such file; throws BackupError when it has one that cannot be read.
    bool extract(const QString &domain, const QString &relativePath, const QString &target,
                 const std::atomic_bool &cancelled = false) const;
    // The snapshot of the phone's Messages database (with its companions) at `target`.
    void writeMessages(const QString &target, const std::atomic_bool &cancelled = false) const;
    // The people of the phone's address book, in its order; none when it has none.
    QList<ContactCard> contacts() const;
    qint64 fileCount() const;

private:
    struct Keys;
    struct Locked;
    void openManifest(const QString &path);

    BackupInfo m_info;
    std::unique_ptr<const Locked> m_locked;
    std::unique_ptr<Keys> m_keys;
    std::unique_ptr<PrivateFolder> m_work;
    sqlite3 *m_manifest = nullptr;
};

// The contacts of a backup's address book, for a resolver built like any other.
class BackupContactSource : public ContactSource {
public:
    explicit BackupContactSource(std::shared_ptr<const Backup> backup) : m_backup(std::move(backup)) {}
    void fetch(Delivery deliver) override;

private:
    std::shared_ptr<const Backup> m_backup;
};
