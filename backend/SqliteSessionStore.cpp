#include "SqliteSessionStore.h"

#include "PairingCrypto.h"
#include "UtcStamp.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

constexpr auto backfillEvery = std::chrono::milliseconds(100);
constexpr int backfillPasses = 6;
constexpr int caughtUpFrames = 64;  // new pages since the last pass: few enough to copy with writes held
constexpr auto scrubDelay = std::chrono::seconds(1);
// Expired sessions go in batches this large, so that no batch holds the store for long.
constexpr int expiryBatch = 64;
// A request that changes nothing but the time of the last one writes it only when it has moved
// this far (at most a 64th of the idle time): most polls then write nothing at all.
constexpr std::int64_t touchEveryMs = 1000;

namespace {

// Runs `f`; an exception is logged rather than thrown.
template <typename F>
void guarded(const std::function<void(const std::string &)> &log, F &&f)
{
    try {
        f();
    } catch (const std::exception &e) {
        if (log)
            log(utcStamp() + " internal error: " + e.what());
    }
}

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

// The places that rows of (chunks, length) name.
std::vector<TranscriptFile::Place> placesOf(Statement &rows)
{
    std::vector<TranscriptFile::Place> places;
    while (rows.step())
        places.push_back({TranscriptFile::decode(rows.text(0)), std::uint64_t(rows.integer(1)), 0});
    return places;
}

} // namespace

SqliteSessionStore::SqliteSessionStore(const std::string &path) : SqliteSessionStore(path, Options{}) {}

SqliteSessionStore::SqliteSessionStore(const std::string &path, Options options) : m_options(std::move(options))
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
        // In a file store the text is in the transcript file, named by `chunks`; it stays here in
        // memory and in stores written before.
        exec("CREATE TABLE IF NOT EXISTS transcript (session_id TEXT PRIMARY KEY, text TEXT NOT NULL,"
             " chunks BLOB, length INTEGER, crc INTEGER)");
        addChunkColumns();
        if (!path.empty()) {
            m_checkpointer = openConnection(path);
            execOn(m_checkpointer, "PRAGMA synchronous=NORMAL");
            m_transcripts = std::make_unique<TranscriptFile>(path + "-transcripts");
            adoptTranscripts();
        }
        moveInlineTranscripts();
        m_storedSessions = count();
    } catch (...) {
        for (const auto &[sql, stmt] : m_statements)
            sqlite3_finalize(stmt);
        sqlite3_close(m_checkpointer);
        sqlite3_close(m_db);
        throw;
    }
    if (m_options.idle.count() > 0)
        m_expiry = std::thread([this] { expiryLoop(); });
    if (m_checkpointer)
        m_syncer = std::thread([this] { syncLoop(); });
}

SqliteSessionStore::~SqliteSessionStore()
{
    if (m_syncer.joinable()) {
        {
            std::lock_guard lock(m_syncMutex);
            m_syncStopping = true;
        }
        m_syncWake.notify_all();
        m_syncer.join();
    }
    if (m_expiry.joinable()) {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_expiry.join();
        if (m_scrubDue)
            guarded(m_options.log, [&] { scrub(); });
    }
    if (m_transcripts) {
        releaseUnnamed();  // what a failed request left
        guarded(m_options.log, [&] { m_transcripts->sync([] {}); });  // the zeros on the disk
    }
    for (const auto &[sql, stmt] : m_statements)
        sqlite3_finalize(stmt);
    sqlite3_close(m_checkpointer);
    sqlite3_close(m_db);  // the last connection: copies the -wal file back and removes it
}

sqlite3_stmt *SqliteSessionStore::prepared(const char *sql)
{
    sqlite3_stmt *&stmt = m_statements[sql];
    if (!stmt && sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        m_statements.erase(sql);
        throw std::runtime_error(std::string("session store: ") + sqlite3_errmsg(m_db));
    }
    return stmt;
}

// Stores written before transcripts could be kept in a file of their own.
void SqliteSessionStore::addChunkColumns()
{
    for (const auto &[column, type] : {std::pair{"chunks", "BLOB"}, {"length", "INTEGER"}, {"crc", "INTEGER"}})
        if (!hasColumn("transcript", column))
            exec((std::string("ALTER TABLE transcript ADD COLUMN ") + column + " " + type).c_str());
}

bool SqliteSessionStore::hasColumn(const char *table, const char *column)
{
    sqlite3_stmt *probe = nullptr;
    const std::string sql = std::string("SELECT ") + column + " FROM " + table + " LIMIT 0";
    const bool has = sqlite3_prepare_v2(m_db, sql.c_str(), -1, &probe, nullptr) == SQLITE_OK;
    sqlite3_finalize(probe);
    return has;
}

// The transcript file as the database names it. A damaged naming loses its text, not the store.
void SqliteSessionStore::adoptTranscripts()
{
    std::vector<std::string> ids;
    std::vector<TranscriptFile::Place> named;
    {
        Statement stmt(m_db, prepared("SELECT session_id, chunks, length, crc FROM transcript WHERE chunks IS NOT NULL"));
        while (stmt.step()) {
            ids.push_back(stmt.text(0));
            TranscriptFile::Place place{{}, std::uint64_t(std::max<std::int64_t>(0, stmt.integer(2))),
                                        std::uint32_t(stmt.integer(3))};
            const std::string chunks = stmt.text(1);
            if (chunks.size() % 4 == 0)
                place.chunks = TranscriptFile::decode(chunks);
            else
                place.length = 1;  // fits no chunk list: refused below
            named.push_back(std::move(place));
        }
    }
    const std::vector<bool> kept = m_transcripts->adopt(named);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (kept[i])
            continue;
        if (m_options.log)
            m_options.log(utcStamp() + " session store: the transcript of a session is damaged and was dropped");
        Statement drop(m_db, prepared("DELETE FROM transcript WHERE session_id = ?1"));
        drop.bind(1, ids[i]).step();
        Statement unname(m_db, prepared("UPDATE session SET file_name = NULL WHERE id = ?1"));
        unname.bind(1, ids[i]).step();
    }
}

// Stores written before the transcript had its own table keep it in the session's row.
void SqliteSessionStore::moveInlineTranscripts()
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

SqliteSessionStore::Transaction::Transaction(SqliteSessionStore &store) : m_store(store)
{
    m_store.exec("BEGIN IMMEDIATE");
    m_store.m_inTransaction = true;
    m_store.m_written.clear();
    m_store.m_dropped.clear();
}

SqliteSessionStore::Transaction::~Transaction()
{
    if (m_done)
        return;
    sqlite3_exec(m_store.m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    m_store.m_inTransaction = false;
    m_store.m_dropped.clear();
    for (auto &chunks : std::exchange(m_store.m_written, {}))
        m_store.m_unnamed.push_back(std::move(chunks));
}

void SqliteSessionStore::Transaction::commit()
{
    m_store.exec("COMMIT");
    m_done = true;
    m_store.m_inTransaction = false;
    m_store.m_written.clear();
    for (auto &chunks : std::exchange(m_store.m_dropped, {}))
        m_store.m_unnamed.push_back(std::move(chunks));
}

// Outside the store's lock: zeroing a large text takes a while, and nothing names it any more.
void SqliteSessionStore::releaseUnnamed()
{
    std::vector<TranscriptFile::Place> unnamed;
    {
        std::lock_guard lock(m_mutex);
        unnamed.swap(m_unnamed);
    }
    std::vector<TranscriptFile::Place> failed;
    for (auto &place : unnamed) {
        try {
            m_transcripts->release(place);
        } catch (const std::exception &e) {
            if (m_options.log)
                m_options.log(utcStamp() + " internal error: " + e.what());
            failed.push_back(std::move(place));  // tried again after the next request
        }
    }
    if (failed.empty())
        return;
    std::lock_guard lock(m_mutex);
    m_unnamed.insert(m_unnamed.end(), std::make_move_iterator(failed.begin()), std::make_move_iterator(failed.end()));
}

void SqliteSessionStore::exec(const char *sql)
{
    execOn(m_db, sql);
}

bool SqliteSessionStore::insert(const PairingSession &s)
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

std::optional<PairingSession> SqliteSessionStore::find(const std::string &id)
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

void SqliteSessionStore::update(const PairingSession &s)
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

void SqliteSessionStore::setTranscript(const std::string &id, const std::optional<StoredTranscript> &transcript)
{
    deleteTranscript(id);
    if (transcript && m_transcripts) {
        const TranscriptFile::Place place = m_transcripts->write(transcript->text);
        if (m_inTransaction)
            m_written.push_back(place);
        Statement stmt(m_db, prepared("INSERT INTO transcript (session_id, text, chunks, length, crc) VALUES (?1, '', ?2, ?3, ?4)"));
        stmt.bind(1, id).bindBlob(2, TranscriptFile::encode(place.chunks)).bind(3, std::int64_t(place.length));
        stmt.bind(4, std::int64_t(place.crc)).step();
    } else if (transcript) {
        Statement stmt(m_db, prepared("INSERT INTO transcript (session_id, text) VALUES (?1, ?2)"));
        stmt.bind(1, id).bindView(2, transcript->text).step();
    }
    Statement stmt(m_db, prepared("UPDATE session SET file_name = ?2 WHERE id = ?1"));
    stmt.bind(1, id).bind(2, transcript ? std::optional(transcript->fileName) : std::nullopt).step();
}

void SqliteSessionStore::markFetched(const std::string &id)
{
    deleteTranscript(id);
}

void SqliteSessionStore::deleteTranscript(const std::string &id)
{
    if (m_transcripts) {
        Statement stmt(m_db, prepared("SELECT chunks, length FROM transcript WHERE session_id = ?1 AND chunks IS NOT NULL"));
        letGo(placesOf(stmt.bind(1, id)));
    }
    Statement stmt(m_db, prepared("DELETE FROM transcript WHERE session_id = ?1"));
    stmt.bind(1, id).step();
    if (sqlite3_changes(m_db) > 0)
        m_scrubDue = true;
}

int SqliteSessionStore::backfill()
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

void SqliteSessionStore::whenSynced(std::function<void(bool)> then)
{
    if (!m_syncer.joinable())
        return then(true);  // in memory
    {
        std::lock_guard lock(m_syncMutex);
        m_awaitingSync.push_back(std::move(then));
    }
    m_syncWake.notify_one();
}

// Whoever waits when a sync starts had committed before it: the sync covers them all. Those who
// come during it wait for the next.
void SqliteSessionStore::syncLoop()
{
    std::unique_lock lock(m_syncMutex);
    for (;;) {
        m_syncWake.wait(lock, [this] { return m_syncStopping || !m_awaitingSync.empty(); });
        if (m_awaitingSync.empty())
            return;
        std::vector<std::function<void(bool)>> waiting;
        waiting.swap(m_awaitingSync);
        lock.unlock();
        bool synced = false;
        guarded(m_options.log, [&] {
            syncWal();
            synced = true;
        });
        for (auto &then : waiting)
            guarded(m_options.log, [&] { then(synced); });
        lock.lock();
    }
}

// The checkpointer's handle on the -wal file: a sync of it is a sync of the file, whichever
// connection wrote to it. Until that connection has opened the file, a backfill does the same.
void SqliteSessionStore::syncWal()
{
    m_transcripts->sync([this] { syncWalOnly(); });
}

void SqliteSessionStore::syncWalOnly()
{
    std::unique_lock lock(m_checkpointerMutex);
    sqlite3_file *wal = nullptr;
    if (sqlite3_file_control(m_checkpointer, "main", SQLITE_FCNTL_JOURNAL_POINTER, &wal) != SQLITE_OK || !wal ||
        !wal->pMethods) {
        lock.unlock();
        backfill();
        return;
    }
    const int result = wal->pMethods->xSync(wal, SQLITE_SYNC_NORMAL);
    if (result != SQLITE_OK)
        throw std::runtime_error("session store: cannot sync the -wal file (" + std::string(sqlite3_errstr(result)) + ")");
}

void SqliteSessionStore::scrub()
{
    m_scrubDue = false;
    std::lock_guard lock(m_checkpointerMutex);
    execOn(m_checkpointer ? m_checkpointer : m_db, "PRAGMA wal_checkpoint(TRUNCATE)");
}

std::optional<StoredTranscript> SqliteSessionStore::transcript(const std::string &id)
{
    Statement stmt(m_db, prepared("SELECT text, file_name, chunks, length, crc FROM transcript JOIN session ON id = session_id"
                                  " WHERE session_id = ?1"));
    stmt.bind(1, id);
    if (!stmt.step())
        return std::nullopt;
    if (!stmt.optionalText(2))
        return StoredTranscript{stmt.text(0), stmt.text(1)};
    if (!m_transcripts || stmt.integer(3) < 0)
        throw std::runtime_error("session store: a transcript is kept in a file this store does not have");
    const TranscriptFile::Place place{TranscriptFile::decode(stmt.text(2)), std::uint64_t(stmt.integer(3)),
                                      std::uint32_t(stmt.integer(4))};
    return StoredTranscript{m_transcripts->read(place), stmt.text(1)};
}

// Transcripts about to be deleted: released once that commits, or at once outside a transaction,
// where the deletion commits by itself.
void SqliteSessionStore::letGo(std::vector<TranscriptFile::Place> places)
{
    auto &to = m_inTransaction ? m_dropped : m_unnamed;
    to.insert(to.end(), std::make_move_iterator(places.begin()), std::make_move_iterator(places.end()));
}

int SqliteSessionStore::removeIdleSince(std::int64_t cutoffMs, int limit)
{
    // The statements pick the same sessions: the oldest first, in one transaction. The index on
    // touched_ms holds the rowid, so the order needs no sort of every expired session.
    if (m_transcripts) {
        Statement stmt(m_db, prepared("SELECT chunks, length FROM transcript WHERE chunks IS NOT NULL AND session_id IN"
                                      " (SELECT id FROM session WHERE touched_ms < ?1 ORDER BY touched_ms, rowid LIMIT ?2)"));
        letGo(placesOf(stmt.bind(1, cutoffMs).bind(2, std::int64_t(limit))));
    }
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

std::int64_t SqliteSessionStore::count()
{
    Statement stmt(m_db, prepared("SELECT count(*) FROM session"));
    stmt.step();
    return stmt.integer(0);
}

// Every backfillEvery: expired sessions are removed, in batches; commits are copied back into
// the database beside the requests, again while each pass finds much that is new. Then, with
// writes held for the little left, the -wal file is emptied when a deletion is scrubDelay old,
// or else copied back whole, so that the next write starts it over rather than growing it.
void SqliteSessionStore::expiryLoop()
{
    std::unique_lock lock(m_mutex);
    auto lastScrub = std::chrono::steady_clock::now();
    while (!m_stopping) {
        m_wake.wait_for(lock, backfillEvery);
        if (m_stopping)
            break;
        lock.unlock();
        guarded(m_options.log, [&] {
            while (removeExpired() == expiryBatch && !m_stopping) {
            }
            int frames = backfill();
            for (int pass = 1; pass < backfillPasses; ++pass) {
                const int before = frames;
                frames = backfill();
                if (frames - before < caughtUpFrames)
                    break;
            }
            // Zeros put on the disk within the pass, when no claim or upload has done it.
            if (m_transcripts && m_transcripts->dirty())
                syncWal();
        });
        lock.lock();
        const auto now = std::chrono::steady_clock::now();
        guarded(m_options.log, [&] {
            if (scrubDue() && now - lastScrub >= scrubDelay) {
                scrub();
                lastScrub = now;
            } else {
                backfill();
            }
        });
    }
}

// One batch of expired sessions, with their transcripts; returns how many went.
int SqliteSessionStore::removeExpired()
{
    int removed = 0;
    {
        std::lock_guard lock(m_mutex);
        Transaction write(*this);
        removed = removeIdleSince(m_options.nowMs() - m_options.idle.count(), expiryBatch);
        write.commit();
        m_storedSessions -= removed;
    }
    releaseUnnamed();
    return removed;
}

std::optional<Verdict> SqliteSessionStore::whyNot(const std::optional<PairingSession> &session,
                                                  std::string PairingSession::*credential, const std::string &hash,
                                                  std::int64_t nowMs) const
{
    if (!session)
        return Verdict::unknown;
    if (nowMs - session->touchedMs > m_options.idle.count())
        return Verdict::expired;
    if (credential && !PairingCrypto::equalConstantTime(hash, (*session).*credential))
        return Verdict::wrongCredential;
    return std::nullopt;
}

// Runs `step` on the live session whose credential checks out, in one transaction. Only an
// accepted request counts as activity and is written back; a refusal leaves the store as it was.
template <typename Step>
StoreAnswer SqliteSessionStore::transition(const std::string &id, std::string PairingSession::*credential,
                                           const std::string &hash, std::int64_t nowMs, Step &&step)
{
    StoreAnswer answer;
    {
        std::lock_guard lock(m_mutex);
        Transaction write(*this);
        std::optional<PairingSession> session = find(id);
        if (const auto refusal = whyNot(session, credential, hash, nowMs)) {
            answer.verdict = *refusal;
            return answer;
        }
        const PairingSession before = *session;
        answer.verdict = step(*session, answer);
        if (answer.verdict == Verdict::done) {
            if (*session != before || nowMs - session->touchedMs >= std::min(touchEveryMs, m_options.idle.count() / 64)) {
                session->touchedMs = nowMs;
                update(*session);
            }
            write.commit();
            answer.session = std::move(*session);
        }
    }
    releaseUnnamed();
    return answer;
}

Verdict SqliteSessionStore::create(const PairingSession &session, std::int64_t maxLive)
{
    std::lock_guard lock(m_mutex);
    if (m_storedSessions >= maxLive)
        return Verdict::full;
    Transaction write(*this);
    const bool created = insert(session);
    write.commit();
    if (!created)
        return Verdict::exists;
    ++m_storedSessions;
    return Verdict::done;
}

Verdict SqliteSessionStore::checkKey(const std::string &id, const std::string &keyHash, std::int64_t nowMs)
{
    std::lock_guard lock(m_mutex);
    return whyNot(find(id), &PairingSession::keyHash, keyHash, nowMs).value_or(Verdict::done);
}

StoreAnswer SqliteSessionStore::claim(const std::string &id, const std::string &tokenHash, std::int64_t nowMs)
{
    return transition(id, nullptr, {}, nowMs, [&](PairingSession &s, StoreAnswer &) {
        if (s.state == PairingSession::State::aborted)
            return Verdict::aborted;
        if (s.state == PairingSession::State::claimed)
            return Verdict::alreadyClaimed;
        s.state = PairingSession::State::claimed;
        s.phoneTokenHash = tokenHash;
        return Verdict::done;
    });
}

StoreAnswer SqliteSessionStore::poll(const std::string &id, const std::string &keyHash, std::int64_t nowMs)
{
    return transition(id, &PairingSession::keyHash, keyHash, nowMs,
                      [](PairingSession &, StoreAnswer &) { return Verdict::done; });
}

StoreAnswer SqliteSessionStore::choose(const std::string &id, const std::string &keyHash, const std::string &choice,
                                       std::int64_t nowMs)
{
    return transition(id, &PairingSession::keyHash, keyHash, nowMs, [&](PairingSession &s, StoreAnswer &) {
        if (s.state == PairingSession::State::aborted)
            return Verdict::aborted;
        if (s.state != PairingSession::State::claimed)
            return Verdict::notClaimed;
        s.choice = choice;
        return Verdict::done;
    });
}

StoreAnswer SqliteSessionStore::upload(const std::string &id, const std::string &keyHash, StoredTranscript transcript,
                                       std::int64_t nowMs)
{
    return transition(id, &PairingSession::keyHash, keyHash, nowMs, [&](PairingSession &s, StoreAnswer &) {
        if (s.state == PairingSession::State::aborted)
            return Verdict::aborted;
        if (!s.uploadId)
            return Verdict::notReady;
        setTranscript(s.id, std::move(transcript));
        s.uploadId.reset();
        s.hasTranscript = true;
        s.transcriptFetched = false;
        return Verdict::done;
    });
}

StoreAnswer SqliteSessionStore::choice(const std::string &id, const std::string &tokenHash, std::int64_t nowMs)
{
    return transition(id, &PairingSession::phoneTokenHash, tokenHash, nowMs, [](PairingSession &s, StoreAnswer &) {
        return s.state == PairingSession::State::aborted ? Verdict::aborted : Verdict::done;
    });
}

StoreAnswer SqliteSessionStore::ready(const std::string &id, const std::string &tokenHash, const std::string &uploadId,
                                      std::int64_t nowMs)
{
    return transition(id, &PairingSession::phoneTokenHash, tokenHash, nowMs, [&](PairingSession &s, StoreAnswer &) {
        if (s.state == PairingSession::State::aborted)
            return Verdict::aborted;
        // A new readiness asks for a new transcript: the old one must not be fetched for it.
        s.uploadId = uploadId;
        if (s.hasTranscript || s.transcriptFetched)
            setTranscript(s.id, std::nullopt);
        s.hasTranscript = s.transcriptFetched = false;
        return Verdict::done;
    });
}

StoreAnswer SqliteSessionStore::fetch(const std::string &id, const std::string &tokenHash, std::int64_t nowMs)
{
    return transition(id, &PairingSession::phoneTokenHash, tokenHash, nowMs, [&](PairingSession &s, StoreAnswer &a) {
        if (s.state == PairingSession::State::aborted)
            return Verdict::aborted;
        if (s.transcriptFetched)
            return Verdict::alreadyReceived;
        if (s.hasTranscript)
            a.transcript = transcript(s.id);
        return Verdict::done;
    });
}

StoreAnswer SqliteSessionStore::received(const std::string &id, const std::string &tokenHash, std::int64_t nowMs)
{
    return transition(id, &PairingSession::phoneTokenHash, tokenHash, nowMs, [&](PairingSession &s, StoreAnswer &) {
        if (s.state == PairingSession::State::aborted)
            return Verdict::aborted;
        if (!s.hasTranscript && !s.transcriptFetched)
            return Verdict::nothingToConfirm;
        if (s.hasTranscript)
            markFetched(s.id);
        s.hasTranscript = false;
        s.transcriptFetched = true;
        return Verdict::done;
    });
}

StoreAnswer SqliteSessionStore::abort(const std::string &id, const std::string &tokenHash, std::int64_t nowMs)
{
    return transition(id, &PairingSession::phoneTokenHash, tokenHash, nowMs, [&](PairingSession &s, StoreAnswer &) {
        s.state = PairingSession::State::aborted;
        s.choice.reset();
        s.uploadId.reset();
        if (s.hasTranscript || s.transcriptFetched)
            setTranscript(s.id, std::nullopt);
        s.hasTranscript = s.transcriptFetched = false;
        return Verdict::done;
    });
}

// In this process only: a store of one node.
int SqliteSessionStore::takeCreation(const std::string &client, double burst, double perSecond, std::int64_t nowMs)
{
    std::lock_guard lock(m_bucketsMutex);
    // A bucket that has filled up again says no more than a new one.
    if (m_buckets.size() > 10000)
        std::erase_if(m_buckets, [&](const auto &entry) {
            return entry.second.tokens + double(nowMs - entry.second.atMs) / 1000 * perSecond >= burst;
        });
    auto [it, fresh] = m_buckets.try_emplace(client, CreateBucket{burst, nowMs});
    CreateBucket &b = it->second;
    b.tokens = std::min(burst, b.tokens + double(std::max<std::int64_t>(0, nowMs - b.atMs)) / 1000 * perSecond);
    b.atMs = nowMs;
    if (b.tokens >= 1) {
        b.tokens -= 1;
        return 0;
    }
    return std::max(1, int(std::ceil((1 - b.tokens) / perSecond)));
}
