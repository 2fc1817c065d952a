#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

// One pairing session as the service keeps it. The transcript itself is read and written
// apart from the rest, so that a poll never loads a large text.
struct PairingSession {
    enum class State { pending, claimed, aborted };

    std::string id;               // canonical upper-case UUID text
    std::string keyHash;          // 32 raw bytes: SHA-256 of the importer's key text
    std::string clientVersion;
    State state = State::pending;
    std::string phoneTokenHash;   // 32 raw bytes once claimed, else empty
    std::optional<std::string> choice;    // the reported choice, as compact JSON
    std::optional<std::string> uploadId;  // set while the phone waits for the transcript
    bool hasTranscript = false;
    bool transcriptFetched = false;  // handed to the phone and deleted since
    std::int64_t createdMs = 0;
    std::int64_t touchedMs = 0;   // last accepted request of either side
};

// The state as the store keeps it and the service reports it: "pending", "claimed", "aborted".
const char *stateName(PairingSession::State state);

struct StoredTranscript {
    std::string text;
    std::string fileName;
};

// Sessions in one SQLite database (a file, or memory when the path is empty). A deleted
// transcript leaves no bytes behind in the database or its -wal file.
// Not thread-safe but for backfill(): the service serialises every other use.
class SessionStore {
public:
    // Opens or creates the database and its table; throws std::runtime_error.
    explicit SessionStore(const std::string &path);
    ~SessionStore();
    SessionStore(const SessionStore &) = delete;
    SessionStore &operator=(const SessionStore &) = delete;

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
    // its own: the one call that may run beside the others, from any thread. Every commit made
    // before the call is on the disk when it returns, so requests that want that share one sync
    // rather than each holding the store through its own. Returns the pages the -wal file holds.
    int backfill();
    // Deleted text is zeroed in the database (secure_delete), but the -wal file still holds the
    // older pages until it is emptied. Deletions mark that due; the owner runs scrub() soon after.
    // Costs little after a backfill().
    bool scrubDue() const { return m_scrubDue; }
    void scrub();

    // The changes between its start and commit() reach the store together or not at all; without
    // a commit, none do. One commit per request also writes each changed page once. A power loss
    // may take the last commits, never tear one; backfill() makes them safe.
    class Transaction {
    public:
        explicit Transaction(SessionStore &store);
        ~Transaction();
        Transaction(const Transaction &) = delete;
        Transaction &operator=(const Transaction &) = delete;
        void commit();

    private:
        SessionStore &m_store;
        bool m_done = false;
    };

    // A statement prepared once, for the life of the store.
    sqlite3_stmt *prepared(const char *sql);

private:
    void exec(const char *sql);
    void moveInlineTranscripts();
    sqlite3 *m_db = nullptr;
    sqlite3 *m_checkpointer = nullptr;  // for a file only
    std::mutex m_checkpointerMutex;
    bool m_scrubDue = false;
    std::unordered_map<const char *, sqlite3_stmt *> m_statements;  // by the text's address
};
