#include "SessionStore.h"

#include <sqlite3.h>

#include <stdexcept>
#include <utility>

namespace {

// A prepared statement of the store, reset for its next use when this goes.
class Statement {
public:
    Statement(sqlite3 *db, sqlite3_stmt *stmt) : m_db(db), m_stmt(stmt) {}
    ~Statement()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);  // a transcript bound without a copy must not outlive us
    }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int index, const std::string &text)
    {
        check(sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement &bindBlob(int index, const std::string &bytes)
    {
        check(sqlite3_bind_blob(m_stmt, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT));
        return *this;
    }
    // Without a copy: the text must outlive the statement's step (a transcript may be large).
    Statement &bindView(int index, const std::string &text)
    {
        check(sqlite3_bind_text64(m_stmt, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8));
        return *this;
    }
    Statement &bind(int index, const std::optional<std::string> &text)
    {
        return text ? bind(index, *text) : bindNull(index);
    }
    Statement &bind(int index, std::int64_t value)
    {
        check(sqlite3_bind_int64(m_stmt, index, value));
        return *this;
    }
    Statement &bindNull(int index)
    {
        check(sqlite3_bind_null(m_stmt, index));
        return *this;
    }

    // True while a row is available.
    bool step()
    {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            fail();
        return false;
    }

    std::string text(int column) const
    {
        const auto *data = sqlite3_column_blob(m_stmt, column);
        const int size = sqlite3_column_bytes(m_stmt, column);
        return data ? std::string(static_cast<const char *>(data), static_cast<size_t>(size)) : std::string();
    }
    std::optional<std::string> optionalText(int column) const
    {
        if (sqlite3_column_type(m_stmt, column) == SQLITE_NULL)
            return std::nullopt;
        return text(column);
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(m_stmt, column); }

private:
    void check(int rc) const
    {
        if (rc != SQLITE_OK)
            fail();
    }
    [[noreturn]] void fail() const { throw std::runtime_error(std::string("session store: ") + sqlite3_errmsg(m_db)); }

    sqlite3 *m_db;
    sqlite3_stmt *m_stmt = nullptr;
};

PairingSession::State stateFromName(const std::string &name)
{
    if (name == "claimed")
        return PairingSession::State::Claimed;
    if (name == "aborted")
        return PairingSession::State::Aborted;
    return PairingSession::State::Pending;
}

} // namespace

SessionStore::SessionStore(const std::string &path)
{
    const std::string target = path.empty() ? std::string(":memory:") : path;
    if (sqlite3_open_v2(target.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        throw std::runtime_error("session store: cannot open " + target + ": " + message);
    }
    try {
        sqlite3_busy_timeout(m_db, 5000);
        exec("PRAGMA secure_delete=ON");
        if (!path.empty()) {
            // WAL without a sync per commit: a crash may lose the last moments, never the file.
            exec("PRAGMA journal_mode=WAL");
            exec("PRAGMA synchronous=NORMAL");
        }
        exec("CREATE TABLE IF NOT EXISTS session ("
             " id TEXT PRIMARY KEY,"
             " key_hash BLOB NOT NULL,"
             " client_version TEXT NOT NULL,"
             " state TEXT NOT NULL,"
             " phone_token_hash BLOB,"
             " choice TEXT,"
             " upload_id TEXT,"
             " transcript TEXT,"
             " file_name TEXT,"
             " created_ms INTEGER NOT NULL,"
             " touched_ms INTEGER NOT NULL)");
        exec("CREATE INDEX IF NOT EXISTS session_touched ON session(touched_ms)");
    } catch (...) {
        sqlite3_close(m_db);
        throw;
    }
}

SessionStore::~SessionStore()
{
    for (const auto &[sql, stmt] : m_statements)
        sqlite3_finalize(stmt);
    sqlite3_close(m_db);
}

sqlite3_stmt *SessionStore::prepared(const char *sql)
{
    sqlite3_stmt *&stmt = m_statements[sql];
    if (!stmt && sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        m_statements.erase(sql);
        throw std::runtime_error(std::string("session store: ") + sqlite3_errmsg(m_db));
    }
    return stmt;
}

void SessionStore::exec(const char *sql)
{
    char *error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error("session store: " + message);
    }
}

bool SessionStore::insert(const PairingSession &s)
{
    Statement stmt(m_db, prepared("INSERT OR IGNORE INTO session (id, key_hash, client_version, state, phone_token_hash, choice,"
                   " upload_id, created_ms, touched_ms) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"));
    stmt.bind(1, s.id).bindBlob(2, s.keyHash).bind(3, s.clientVersion).bind(4, std::string(stateName(s.state)));
    if (s.phoneTokenHash.empty())
        stmt.bindNull(5);
    else
        stmt.bindBlob(5, s.phoneTokenHash);
    stmt.bind(6, s.choice).bind(7, s.uploadId).bind(8, s.createdMs).bind(9, s.touchedMs);
    stmt.step();
    return sqlite3_changes(m_db) == 1;
}

std::optional<PairingSession> SessionStore::find(const std::string &id)
{
    Statement stmt(m_db, prepared("SELECT id, key_hash, client_version, state, phone_token_hash, choice, upload_id,"
                   " transcript IS NOT NULL, transcript IS NULL AND file_name IS NOT NULL, created_ms, touched_ms"
                   " FROM session WHERE id = ?1"));
    stmt.bind(1, id);
    if (!stmt.step())
        return std::nullopt;
    PairingSession s;
    s.id = stmt.text(0);
    s.keyHash = stmt.text(1);
    s.clientVersion = stmt.text(2);
    s.state = stateFromName(stmt.text(3));
    s.phoneTokenHash = stmt.text(4);
    s.choice = stmt.optionalText(5);
    s.uploadId = stmt.optionalText(6);
    s.hasTranscript = stmt.integer(7) != 0;
    s.transcriptFetched = stmt.integer(8) != 0;
    s.createdMs = stmt.integer(9);
    s.touchedMs = stmt.integer(10);
    return s;
}

void SessionStore::update(const PairingSession &s)
{
    Statement stmt(m_db, prepared("UPDATE session SET state = ?2, phone_token_hash = ?3, choice = ?4, upload_id = ?5,"
                   " touched_ms = ?6 WHERE id = ?1"));
    stmt.bind(1, s.id).bind(2, std::string(stateName(s.state)));
    if (s.phoneTokenHash.empty())
        stmt.bindNull(3);
    else
        stmt.bindBlob(3, s.phoneTokenHash);
    stmt.bind(4, s.choice).bind(5, s.uploadId).bind(6, s.touchedMs);
    stmt.step();
}

void SessionStore::setTranscript(const std::string &id, const std::optional<StoredTranscript> &transcript)
{
    {
        Statement stmt(m_db, prepared("UPDATE session SET transcript = ?2, file_name = ?3 WHERE id = ?1"));
        stmt.bind(1, id);
        if (transcript)
            stmt.bindView(2, transcript->text).bind(3, transcript->fileName);
        else
            stmt.bindNull(2).bindNull(3);
        stmt.step();
    }
    if (!transcript)
        m_scrubDue = true;
}

void SessionStore::markFetched(const std::string &id)
{
    {
        Statement stmt(m_db, prepared("UPDATE session SET transcript = NULL WHERE id = ?1"));
        stmt.bind(1, id).step();
    }
    m_scrubDue = true;
}

void SessionStore::scrub()
{
    m_scrubDue = false;
    exec("PRAGMA wal_checkpoint(TRUNCATE)");
}

std::optional<StoredTranscript> SessionStore::transcript(const std::string &id)
{
    Statement stmt(m_db, prepared("SELECT transcript, file_name FROM session WHERE id = ?1 AND transcript IS NOT NULL"));
    stmt.bind(1, id);
    if (!stmt.step())
        return std::nullopt;
    return StoredTranscript{stmt.text(0), stmt.text(1)};
}

int SessionStore::removeIdleSince(std::int64_t cutoffMs)
{
    int removed = 0;
    {
        Statement stmt(m_db, prepared("DELETE FROM session WHERE touched_ms < ?1"));
        stmt.bind(1, cutoffMs).step();
        removed = sqlite3_changes(m_db);
    }
    if (removed > 0)
        m_scrubDue = true;
    return removed;
}

const char *stateName(PairingSession::State state)
{
    switch (state) {
    case PairingSession::State::Pending: return "pending";
    case PairingSession::State::Claimed: return "claimed";
    case PairingSession::State::Aborted: return "aborted";
    }
    return "pending";
}
