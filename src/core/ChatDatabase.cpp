#include "ChatDatabase.h"

#include "AttributedBody.h"
#include "PlainFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QUuid>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *handleStatement = "SELECT chj.chat_id, h.id\n"
                                        "FROM chat_handle_join chj\n"
                                        "JOIN handle h ON h.ROWID = chj.handle_id\n"
                                        "WHERE chj.chat_id IN (\n"
                                        "  SELECT chat_id FROM chat_handle_join GROUP BY chat_id HAVING COUNT(*) = 1\n"
                                        ")";

constexpr const char *statsStatement = "SELECT cmj.chat_id, COUNT(*), MIN(m.date), MAX(m.date)\n"
                                       "FROM chat_message_join cmj\n"
                                       "JOIN message m ON m.ROWID = cmj.message_id\n"
                                       "GROUP BY cmj.chat_id";

constexpr const char *messagesPrefix = "SELECT m.date, m.is_from_me, m.text, m.attributedBody\n"
                                       "FROM message m\n"
                                       "JOIN chat_message_join cmj ON cmj.message_id = m.ROWID\n"
                                       "WHERE cmj.chat_id IN (";

constexpr const char *messagesSuffix = ")\nORDER BY m.date ASC";

// Finalizes on every path out of a query.
class Statement {
public:
    Statement(sqlite3 *db, const char *sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK || !m_stmt)
            throw HelperError::sqlite(QString::fromUtf8(sqlite3_errmsg(db)));
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    sqlite3_stmt *get() const { return m_stmt; }
    // False once the rows are done. Any other result (a damaged page, an I/O error) throws:
    // rows cut short must never pass for the whole history.
    bool next() const
    {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        throw HelperError::sqlite(QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(m_stmt))));
    }

private:
    sqlite3_stmt *m_stmt = nullptr;
};

QUtf8StringView columnText(sqlite3_stmt *stmt, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, column));
    if (!text)
        return {};
    // The text ends at its first NUL byte, as a C string would.
    const qsizetype size = sqlite3_column_bytes(stmt, column);
    const void *nul = memchr(text, 0, size_t(size));
    return QUtf8StringView(text, nul ? static_cast<const char *>(nul) - text : size);
}

} // namespace

// EISDIR or EINVAL for a source that is not a plain file.
int ChatDatabase::copyPrivately(const QString &from, const QString &to, [[maybe_unused]] Copy copy) noexcept
{
    const QByteArray target = QFile::encodeName(to);
    int error = 0;
    const int in = openPlainFile(QFile::encodeName(from), error);
    if (in < 0)
        return error;
    const int out = createPrivateFile(target);
    if (out < 0) {
        error = errno;
        ::close(in);
        return error;
    }
#ifdef __linux__
    // In-kernel copy where the file system allows it; falls back to read/write below.
    bool kernelCopy = copy == ChatDatabase::Copy::native;
    while (kernelCopy) {
        const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, size_t(1) << 30, 0);
        if (copied > 0)
            continue;
        if (copied == 0)
            break;
        if (errno == EINTR)
            continue;
        kernelCopy = false;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            error = errno;
        else if (::lseek(in, 0, SEEK_SET) != 0 || ::ftruncate(out, 0) != 0 || ::lseek(out, 0, SEEK_SET) != 0)
            error = errno;
    }
    if (!kernelCopy && !error)
#endif
    {
        static constexpr size_t chunk = 1 << 20;
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[chunk]);
        if (!buffer)
            error = ENOMEM;
        while (!error) {
            const ssize_t got = ::read(in, buffer.get(), chunk);
            if (got == 0)
                break;
            if (got < 0) {
                error = errno == EINTR ? 0 : errno;
                continue;
            }
            error = writeAll(out, buffer.get(), size_t(got));
        }
    }
    if (::fchmod(out, S_IRUSR | S_IWUSR) != 0 && !error)
        error = errno;
    if (::close(out) != 0 && !error)
        error = errno;
    ::close(in);
    if (error)
        ::unlink(target.constData());
    return error;
}

namespace {

// A failed copy as the user is told it: a file that may not be read, or no database file at
// all, means the access is missing; anything else (a full disk, an I/O error, a companion that
// is not a file) is told in the system's words.
HelperError copyError(int error, bool database)
{
    if (error == EACCES || error == EPERM || (database && (error == ENOENT || error == ENOTDIR || error == EISDIR)))
        return HelperError::noAccess();
    return HelperError::sqlite(QString::fromStdString(std::generic_category().message(error)));
}

// Qt reports no temporary folder when TMPDIR names one that does not exist yet; that folder
// is then made like any other missing parent, rather than falling back to the file system root.
QString temporaryFolder()
{
    const QString dir = QDir::tempPath();
    if (!dir.isEmpty())
        return dir;
    const QString env = qEnvironmentVariable("TMPDIR");
    return QDir::cleanPath(env.isEmpty() ? QStringLiteral("/tmp") : env);
}

struct ChatStats {
    qint64 count = 0;
    qint64 earliest = 0;
    qint64 latest = 0;
};

} // namespace

QString ChatDatabase::standardSourcePath()
{
    return QDir::homePath() + QStringLiteral("/Library/Messages/chat.db");
}

bool ChatDatabase::canAccess()
{
    return canAccess(standardSourcePath());
}

bool ChatDatabase::canAccess(const QString &sourcePath)
{
    // Plain files only, as the copy: a FIFO in the database's place must not hold the window
    // before it first shows.
    int error = 0;
    const int fd = openPlainFile(QFile::encodeName(sourcePath), error);
    if (fd < 0)
        return false;
    char first[16];
    const bool readable = ::read(fd, first, sizeof first) > 0;
    ::close(fd);
    return readable;
}

PrivateFolder::PrivateFolder()
    : m_path(temporaryFolder() + QStringLiteral("/vellora-imessage-")
             + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper())
{
    // The folder holds a copy of the whole message history: owner only, from its first moment.
    const std::filesystem::path dir(QFile::encodeName(m_path).toStdString());
    std::filesystem::create_directories(dir.parent_path());
    if (::mkdir(dir.c_str(), S_IRWXU) != 0)
        throw std::filesystem::filesystem_error("cannot create the snapshot folder", dir,
                                                std::error_code(errno, std::generic_category()));
}

PrivateFolder::~PrivateFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(QFile::encodeName(m_path).toStdString(), ignored);
}

ChatDatabase::ChatDatabase(const QString &sourcePath, Copy copy)
    : ChatDatabase([&sourcePath, copy](const QString &target) {
          if (const int error = copyPrivately(sourcePath, target, copy))
              throw copyError(error, true);
          for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")}) {
              // A companion that is not there (or just went, checkpointed) is left out; one that
              // is there but cannot be copied would leave out the newest messages.
              const int error = copyPrivately(sourcePath + suffix, target + suffix, copy);
              if (error && error != ENOENT && error != ENOTDIR)
                  throw copyError(error, false);
          }
      })
{
}

ChatDatabase::ChatDatabase(const Fill &fill)
{
    try {
        const QString target = m_folder.filePath(QStringLiteral("chat.db"));
        fill(target);

        sqlite3 *db = nullptr;
        const int rc = sqlite3_open_v2(QFile::encodeName(target).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
        if (rc != SQLITE_OK || !db) {
            sqlite3_close(db);
            throw HelperError::sqlite(QCoreApplication::translate("ChatDatabase", "open failed (%1)").arg(rc));
        }
        // The copy is private and never changes, so mapping it is safe; reading through the
        // map instead of read() calls makes the listing's scattered row lookups much cheaper.
        // A failure here only leaves the connection unmapped.
        sqlite3_exec(db, "PRAGMA mmap_size = 2147418112", nullptr, nullptr, nullptr);
        m_db = db;
    } catch (...) {
        close();  // the folder goes with its member
        throw;
    }
}

ChatDatabase::~ChatDatabase()
{
    close();
}

void ChatDatabase::close() noexcept
{
    if (m_db) {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
}

QList<Conversation> ChatDatabase::loadConversations(const NameFor &nameFor) const
{
    // Handles in the order first seen, each with its one-to-one chats.
    QList<QString> handles;
    QHash<QString, QList<qint64>> chatsByHandle;
    {
        const Statement stmt(m_db, handleStatement);
        while (stmt.next()) {
            const qint64 chatId = sqlite3_column_int64(stmt.get(), 0);
            QString handle = columnText(stmt.get(), 1).toString();
            if (handle.isEmpty())
                continue;
            auto it = chatsByHandle.find(handle);
            if (it == chatsByHandle.end()) {
                handles.append(handle);
                it = chatsByHandle.insert(std::move(handle), {});
            }
            it->append(chatId);
        }
    }

    QHash<qint64, ChatStats> stats;
    {
        const Statement stmt(m_db, statsStatement);
        while (stmt.next()) {
            stats.insert(sqlite3_column_int64(stmt.get(), 0),
                         {sqlite3_column_int64(stmt.get(), 1), sqlite3_column_int64(stmt.get(), 2),
                          sqlite3_column_int64(stmt.get(), 3)});
        }
    }

    QList<Conversation> conversations;
    for (const QString &handle : std::as_const(handles)) {
        const QList<qint64> &chatIds = chatsByHandle[handle];
        qint64 count = 0;
        // Chats are compared in seconds, not raw units: one chat's dates may be stored in
        // seconds and another's in nanoseconds.
        std::optional<RefDate> earliest;
        std::optional<RefDate> latest;
        for (qint64 chatId : chatIds) {
            const auto it = stats.constFind(chatId);
            if (it == stats.constEnd())
                continue;
            count += it->count;
            const RefDate first = RefDates::fromRaw(it->earliest);
            const RefDate last = RefDates::fromRaw(it->latest);
            earliest = earliest ? std::min(*earliest, first) : first;
            latest = latest ? std::max(*latest, last) : last;
        }
        if (count == 0)
            continue;
        Conversation c;
        c.handle = handle;
        c.displayName = nameFor(handle).value_or(handle);
        c.chatRowIds = chatIds;
        c.messageCount = count;
        c.firstMessageDate = earliest;
        c.lastMessageDate = latest;
        conversations.append(std::move(c));
    }

    std::stable_sort(conversations.begin(), conversations.end(), [](const Conversation &a, const Conversation &b) {
        return a.lastMessageDate.value_or(std::numeric_limits<RefDate>::lowest())
            > b.lastMessageDate.value_or(std::numeric_limits<RefDate>::lowest());
    });
    return conversations;
}

QList<ChatMessage> ChatDatabase::loadMessages(const Conversation &conversation) const
{
    QList<ChatMessage> messages;
    const QList<qint64> &chatIds = conversation.chatRowIds;
    if (chatIds.isEmpty())
        return messages;

    QByteArray sql(messagesPrefix);
    for (qsizetype i = 0; i < chatIds.size(); ++i)
        sql.append(i ? ",?" : "?");
    sql.append(messagesSuffix);

    const Statement stmt(m_db, sql.constData());
    sqlite3_stmt *s = stmt.get();
    for (qsizetype i = 0; i < chatIds.size(); ++i)
        sqlite3_bind_int64(s, int(i + 1), chatIds[i]);

    while (stmt.next()) {
        const qint64 rawDate = sqlite3_column_int64(s, 0);
        const qint64 flag = sqlite3_column_int64(s, 1);
        QString text = columnText(s, 2).toString();
        if (text.isEmpty()) {
            const void *blob = sqlite3_column_blob(s, 3);
            const int size = sqlite3_column_bytes(s, 3);
            if (blob && size > 0)
                text = AttributedBody::extractText(QByteArrayView(static_cast<const char *>(blob), size))
                           .value_or(QString());
        }
        text = std::move(text).trimmed();
        if (text.isEmpty())
            continue;
        messages.append(ChatMessage{RefDates::fromRaw(rawDate), flag == 1, std::move(text)});
    }
    // The statement orders raw values; where chats store seconds and nanoseconds side by
    // side, that is not the order in time. Rare, so checked before sorting.
    const auto byDate = [](const ChatMessage &a, const ChatMessage &b) { return *a.date < *b.date; };
    if (!std::is_sorted(messages.cbegin(), messages.cend(), byDate))
        std::stable_sort(messages.begin(), messages.end(), byDate);
    return messages;
}
