#pragma once

#include "HelperError.h"
#include "Models.h"

#include <QString>

#include <functional>
#include <optional>

struct sqlite3;

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
    ~ChatDatabase();
    ChatDatabase(const ChatDatabase &) = delete;
    ChatDatabase &operator=(const ChatDatabase &) = delete;

    QList<Conversation> loadConversations(const NameFor &nameFor) const;
    QList<ChatMessage> loadMessages(const Conversation &conversation) const;

    const QString &snapshotDir() const { return m_tempDir; }

private:
    void cleanup() noexcept;

    sqlite3 *m_db = nullptr;
    QString m_tempDir;
};
