#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <optional>

class ChatDatabase;

// Points HOME and TMPDIR at fresh folders for the life of the object, so a test can put a
// Messages database where the importer looks and see every snapshot folder it leaves.
class ScopedHome {
public:
    ScopedHome();
    ~ScopedHome();
    ScopedHome(const ScopedHome &) = delete;
    ScopedHome &operator=(const ScopedHome &) = delete;

    QString home() const { return m_root.path() + QStringLiteral("/home"); }
    QString tmp() const { return m_root.path() + QStringLiteral("/tmp"); }
    QString chatDbPath() const { return home() + QStringLiteral("/Library/Messages/chat.db"); }
    // Snapshot folders ("vellora-imessage-*") currently under tmp().
    QStringList snapshotDirs() const;

private:
    QTemporaryDir m_root;
    std::optional<QByteArray> m_oldHome;
    std::optional<QByteArray> m_oldTmp;
};

// The history the flow tests share: Mum over SMS and iMessage (three messages, the last only in
// an archived body with non-ASCII text), listed first, and an older message from a friend.
inline const QString mumHandle = QStringLiteral("+15551230001");
void writeTwoPartners(const QString &path);
// The transcript of the conversation with `handle`, read afresh from the database at `path`.
QByteArray transcriptOf(const QString &path, const QString &handle);
QByteArray transcriptOf(const ChatDatabase &snapshot, const QString &handle);
// Lets the tasks a destroyed or restarted client left behind end: its workers finish, then one
// turn of the event loop resumes whatever waited for them (they find themselves cancelled).
void finishCancelledTasks();
