#pragma once

#include "HelperError.h"
#include "Models.h"

#include <QString>

#include <functional>
#include <optional>

struct sqlite3;

// A new folder "vellora-imessage-<UUID>" in the temporary directory that only its owner may
// enter from its first moment; removed with everything in it when the object goes away.
class PrivateFolder {
public:
    // Throws std::filesystem::filesystem_error when the folder can't be made.
    PrivateFolder();
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder &) = delete;
    PrivateFolder &operator=(const PrivateFolder &) = delete;

    const QString &path() const { return m_path; }
    QString filePath(const QString &name) const { return m_path + u'/' + name; }

private:
    QString m_path;
};

// A private, read-only snapshot of the Messages database. The live files are only copied,
// never opened by SQLite; the copy's folder is removed when the object goes away.
// Self-contained: one may be made, read and dropped on any single thread.
class ChatDatabase {
public:
    using NameFor = std::function<std::optional<QString>(const QString &handle)>;

    // ~/Library/Messages/chat.db of the current user.
    static QString standardSourcePath();
    // True when the live database's first bytes can be read (Full Disk Access on macOS).
    static bool canAccess();
    static bool canAccess(const QString &sourcePath);

    // How the files are copied: in the kernel where the system can (Linux), or by the
    // read/write loop every system has (and macOS always takes).
    enum class Copy { native, portable };

    // Throws HelperError, or std::filesystem::filesystem_error when the folder can't be made.
    explicit ChatDatabase(const QString &sourcePath, Copy copy = Copy::native);
    // Writes the snapshot's database at `target` (and any "-wal"/"-shm" beside it) from another
    // source, such as a phone backup; whatever it throws ends the construction, folder removed.
    using Fill = std::function<void(const QString &target)>;
    explicit ChatDatabase(const Fill &fill);
    ~ChatDatabase();
    ChatDatabase(const ChatDatabase &) = delete;
    ChatDatabase &operator=(const ChatDatabase &) = delete;

    QList<Conversation> loadConversations(const NameFor &nameFor) const;
    QList<ChatMessage> loadMessages(const Conversation &conversation) const;

    const QString &snapshotDir() const { return m_folder.path(); }

    // Copies `from` to a new file `to` that only the owner may read, even while it is written.
    // Returns 0, or the errno of the first failure; a failed copy is removed.
    static int copyPrivately(const QString &from, const QString &to, Copy copy = Copy::native) noexcept;

private:
    void close() noexcept;

    PrivateFolder m_folder;
    sqlite3 *m_db = nullptr;
};
