#pragma once

#include "SessionStore.h"
#include "TranscriptFile.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// Sessions in one SQLite database (a file, or memory when the path is empty), for one process.
// Beside a database file, its transcripts are kept in a TranscriptFile named after it with
// "-transcripts". A deleted transcript leaves no bytes behind in any of the store's files.
// The SessionStore operations are thread-safe; the row-level ones below them are not, but for
// backfill() and whenSynced(): the operations serialise every other use.
class SqliteSessionStore final : public SessionStore {
public:
    struct Options {
        std::chrono::milliseconds idle{0};         // 0: no expiry timer (row-level use only)
        std::function<std::int64_t()> nowMs;       // the service's clock
        std::function<void(const std::string &)> log;  // internal errors of the timer
    };
    // Opens or creates the database and its table; throws std::runtime_error.
    explicit SqliteSessionStore(const std::string &path);
    SqliteSessionStore(const std::string &path, Options options);
    ~SqliteSessionStore() override;
    SqliteSessionStore(const SqliteSessionStore &) = delete;
    SqliteSessionStore &operator=(const SqliteSessionStore &) = delete;

    Verdict create(const PairingSession &session, std::int64_t maxLive) override;
    StoreAnswer claim(const std::string &id, const std::string &tokenHash, std::int64_t nowMs) override;
    Verdict checkKey(const std::string &id, const std::string &keyHash, std::int64_t nowMs) override;
    StoreAnswer poll(const std::string &id, const std::string &keyHash, std::int64_t nowMs) override;
    StoreAnswer choose(const std::string &id, const std::string &keyHash, const std::string &choice,
                       std::int64_t nowMs) override;
    StoreAnswer upload(const std::string &id, const std::string &keyHash, StoredTranscript transcript,
                       std::int64_t nowMs) override;
    StoreAnswer choice(const std::string &id, const std::string &tokenHash, std::int64_t nowMs) override;
    StoreAnswer ready(const std::string &id, const std::string &tokenHash, const std::string &uploadId,
                      std::int64_t nowMs) override;
    StoreAnswer fetch(const std::string &id, const std::string &tokenHash, std::int64_t nowMs) override;
    StoreAnswer received(const std::string &id, const std::string &tokenHash, std::int64_t nowMs) override;
    StoreAnswer abort(const std::string &id, const std::string &tokenHash, std::int64_t nowMs) override;
    int takeCreation(const std::string &client, double burst, double perSecond, std::int64_t nowMs) override;
    // Commits wait for no sync; a thread of the store syncs the -wal file for all that wait at
    // the time, as synchronous=FULL would at each commit, and then calls them.
    void whenSynced(std::function<void(bool synced)> then) override;

    // Row level.

    // False when a session with that id exists already.
    bool insert(const PairingSession &session);
    std::optional<PairingSession> find(const std::string &id);
    // Writes everything but the transcript.
    void update(const PairingSession &session);
    // Stores a transcript, or deletes it (and the mark of a fetched one).
    void setTranscript(const std::string &id, const std::optional<StoredTranscript> &transcript);
    std::optional<StoredTranscript> transcript(const std::string &id);
    // Deletes the transcript and remembers that the phone has it.
    void markFetched(const std::string &id);
    // Removes up to `limit` sessions whose last request is older than the cut-off; returns how many.
    int removeIdleSince(std::int64_t cutoffMs, int limit);
    std::int64_t count();

    // Commits go to the -wal file only, without waiting for the disk. This syncs the -wal file,
    // copies the commits back into the database and waits for the disk again, on a connection of
    // its own: a call that may run beside the others, from any thread. Every commit made before
    // the call is on the disk when it returns. Returns the pages the -wal file holds.
    int backfill();
    // Deleted text is zeroed in the database (secure_delete), but the -wal file still holds the
    // older pages until it is emptied. Deletions mark that due; the owner runs scrub() soon after.
    // Costs little after a backfill().
    bool scrubDue() const { return m_scrubDue; }
    void scrub();

    // The changes between its start and commit() reach the store together or not at all; without
    // a commit, none do: the chunks of a transcript deleted are released only once committed, and
    // those of one written without a commit at once; either, once the store's lock is let go.
    // One commit per request also writes each changed page once. A power loss may take the last
    // commits, never tear one; whenSynced() and backfill() make them safe.
    class Transaction {
    public:
        explicit Transaction(SqliteSessionStore &store);
        ~Transaction();
        Transaction(const Transaction &) = delete;
        Transaction &operator=(const Transaction &) = delete;
        void commit();

    private:
        SqliteSessionStore &m_store;
        bool m_done = false;
    };

    // A statement prepared once, for the life of the store.
    sqlite3_stmt *prepared(const char *sql);

private:
    struct CreateBucket {
        double tokens;
        std::int64_t atMs;
    };
    template <typename Step>
    StoreAnswer transition(const std::string &id, std::string PairingSession::*credential, const std::string &hash,
                           std::int64_t nowMs, Step &&step);
    std::optional<Verdict> whyNot(const std::optional<PairingSession> &session, std::string PairingSession::*credential,
                                  const std::string &hash, std::int64_t nowMs) const;
    void expiryLoop();
    void syncLoop();
    void syncWal();
    void syncWalOnly();
    int removeExpired();
    void exec(const char *sql);
    void moveInlineTranscripts();
    void addChunkColumns();
    bool hasColumn(const char *table, const char *column);
    void deleteTranscript(const std::string &id);
    void letGo(std::vector<TranscriptFile::Place> places);
    void releaseUnnamed();
    void adoptTranscripts();
    sqlite3 *m_db = nullptr;
    std::unique_ptr<TranscriptFile> m_transcripts;  // for a file only
    bool m_inTransaction = false;
    std::vector<TranscriptFile::Place> m_written;  // by the transaction under way
    std::vector<TranscriptFile::Place> m_dropped;  // by the transaction under way
    std::vector<TranscriptFile::Place> m_unnamed;  // named no more, to be released; under m_mutex
    sqlite3 *m_checkpointer = nullptr;  // for a file only
    std::mutex m_checkpointerMutex;
    bool m_scrubDue = false;
    std::unordered_map<const char *, sqlite3_stmt *> m_statements;  // by the text's address

    Options m_options;
    std::mutex m_mutex;  // one connection: every operation, check through write, holds it
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::int64_t m_storedSessions = 0;  // live and expired but not yet removed; under m_mutex
    std::thread m_expiry;
    std::mutex m_syncMutex;
    std::condition_variable m_syncWake;
    std::vector<std::function<void(bool)>> m_awaitingSync;  // under m_syncMutex
    bool m_syncStopping = false;                            // under m_syncMutex
    std::thread m_syncer;  // for a file only
    std::mutex m_bucketsMutex;
    std::unordered_map<std::string, CreateBucket> m_buckets;
};
