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
        return PairingSession::State::claimed;
    if (name == "aborted")
        return PairingSession::State::aborted;
    return PairingSession::State::pending;
}

sqlite3 *openConnection(const std::string &target)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(target.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string message = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw std::runtime_error("session store: cannot open " + target + ": " + message);
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

void execOn(sqlite3 *db, const char *sql)
{
    char *error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error("session store: " + message);
    }
}

} // namespace

SessionStore::SessionStore(const std::string &path)
{
    m_db = openConnection(path.empty() ? std::string(":memory:") : path);
    try {
        exec("PRAGMA secure_delete=ON");
        if (!path.empty()) {
            // WAL without a sync per commit: a crash may lose the last moments, never the file.
            exec("PRAGMA journal_mode=WAL");
            exec("PRAGMA synchronous=NORMAL");
            // Copying the -wal file back waits for the disk; backfill() does it on a connection of
            // its own, so that requests never wait for it.
            exec("PRAGMA wal_autocheckpoint=0");
        }
        // The transcript has a table of its own: a session's row changes with every request, and
        // SQLite rewrites a changed row whole, overflow pages and all.
        exec("CREATE TABLE IF NOT EXISTS session ("
             " id TEXT PRIMARY KEY,"
             " key_hash BLOB NOT NULL,"
             " client_version TEXT NOT NULL,"
             " state TEXT NOT NULL,"
             " phone_token_hash BLOB,"
             " choice TEXT,"
             " upload_id TEXT,"
             " file_name TEXT,"
             " created_ms INTEGER NOT NULL,"
             " touched_ms INTEGER NOT NULL)");
        exec("CREATE INDEX IF NOT EXISTS session_touched ON session(touched_ms)");
        exec("CREATE TABLE IF NOT EXISTS transcript (session_id TEXT PRIMARY KEY, text TEXT NOT NULL)");
        if (!path.empty()) {
            m_checkpointer = openConnection(path);
            execOn(m_checkpointer, "PRAGMA synchronous=NORMAL");
        }
        moveInlineTranscripts();
    } catch (...) {
        sqlite3_close(m_checkpointer);
        sqlite3_close(m_db);
        throw;
    }
}

SessionStore::~SessionStore()
{
    for (const auto &[sql, stmt] : m_statements)
        sqlite3_finalize(stmt);
    sqlite3_close(m_checkpointer);
    sqlite3_close(m_db);  // the last connection: copies the -wal file back and removes it
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

// Stores written before the transcript had its own table keep it in the session's row.
void SessionStore::moveInlineTranscripts()
{
    sqlite3_stmt *probe = nullptr;
    const bool hasColumn = sqlite3_prepare_v2(m_db, "SELECT transcript FROM session LIMIT 0", -1, &probe, nullptr) == SQLITE_OK;
    sqlite3_finalize(probe);
    if (!hasColumn)
        return;
    Transaction move(*this);
    exec("INSERT OR REPLACE INTO transcript (session_id, text)"
         " SELECT id, transcript FROM session WHERE transcript IS NOT NULL");
    exec("ALTER TABLE session DROP COLUMN transcript");
    move.commit();
    scrub();
}

SessionStore::Transaction::Transaction(SessionStore &store) : m_store(store)
{
    m_store.exec("BEGIN IMMEDIATE");
}

SessionStore::Transaction::~Transaction()
{
    if (!m_done)
        sqlite3_exec(m_store.m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

void SessionStore::Transaction::commit()
{
    m_store.exec("COMMIT");
    m_done = true;
}

void SessionStore::exec(const char *sql)
{
    execOn(m_db, sql);
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
                   " t.session_id IS NOT NULL, t.session_id IS NULL AND file_name IS NOT NULL, created_ms, touched_ms"
                   " FROM session LEFT JOIN transcript t ON t.session_id = id WHERE id = ?1"));
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
    if (transcript) {
        Statement stmt(m_db, prepared("INSERT OR REPLACE INTO transcript (session_id, text) VALUES (?1, ?2)"));
        stmt.bind(1, id).bindView(2, transcript->text).step();
    } else {
        markFetched(id);
    }
    Statement stmt(m_db, prepared("UPDATE session SET file_name = ?2 WHERE id = ?1"));
    stmt.bind(1, id).bind(2, transcript ? std::optional(transcript->fileName) : std::nullopt).step();
}

void SessionStore::markFetched(const std::string &id)
{
    Statement stmt(m_db, prepared("DELETE FROM transcript WHERE session_id = ?1"));
    stmt.bind(1, id).step();
    if (sqlite3_changes(m_db) > 0)
        m_scrubDue = true;
}

int SessionStore::backfill()
{
    std::lock_guard lock(m_checkpointerMutex);
    int frames = 0;
    if (!m_checkpointer)
        return frames;
    // A passive checkpoint does not wait: met with a commit rewriting the -wal file's index, it is
    // refused at once. The commit takes microseconds; try again for as long as a writer would.
    for (int tries = 0;; ++tries) {
        const int result = sqlite3_wal_checkpoint_v2(m_checkpointer, nullptr, SQLITE_CHECKPOINT_PASSIVE, &frames, nullptr);
        if (result == SQLITE_OK)
            return frames;
        if ((result & 0xff) != SQLITE_BUSY || tries == 5000)
            throw std::runtime_error(std::string("session store: ") + sqlite3_errmsg(m_checkpointer));
        sqlite3_sleep(1);
    }
}

void SessionStore::scrub()
{
    m_scrubDue = false;
    std::lock_guard lock(m_checkpointerMutex);
    execOn(m_checkpointer ? m_checkpointer : m_db, "PRAGMA wal_checkpoint(TRUNCATE)");
}

std::optional<StoredTranscript> SessionStore::transcript(const std::string &id)
{
    Statement stmt(m_db, prepared("SELECT text, file_name FROM transcript JOIN session ON id = session_id"
                                  " WHERE session_id = ?1"));
    stmt.bind(1, id);
    if (!stmt.step())
        return std::nullopt;
    return StoredTranscript{stmt.text(0), stmt.text(1)};
}

int SessionStore::removeIdleSince(std::int64_t cutoffMs, int limit)
{
    // Both statements pick the same sessions: the oldest first, in one transaction. The index on
    // touched_ms holds the rowid, so the order needs no sort of every expired session.
    {
        Statement stmt(m_db, prepared("DELETE FROM transcript WHERE session_id IN (SELECT id FROM session"
                                      " WHERE touched_ms < ?1 ORDER BY touched_ms, rowid LIMIT ?2)"));
        stmt.bind(1, cutoffMs).bind(2, std::int64_t(limit)).step();
    }
    Statement stmt(m_db, prepared("DELETE FROM session WHERE id IN (SELECT id FROM session"
                                  " WHERE touched_ms < ?1 ORDER BY touched_ms, rowid LIMIT ?2)"));
    stmt.bind(1, cutoffMs).bind(2, std::int64_t(limit)).step();
    const int removed = sqlite3_changes(m_db);
    if (removed > 0)
        m_scrubDue = true;
    return removed;
}

std::int64_t SessionStore::count()
{
    Statement stmt(m_db, prepared("SELECT count(*) FROM session"));
    stmt.step();
    return stmt.integer(0);
}

const char *stateName(PairingSession::State state)
{
    switch (state) {
    case PairingSession::State::pending: return "pending";
    case PairingSession::State::claimed: return "claimed";
    case PairingSession::State::aborted: return "aborted";
    }
    return "pending";
}
