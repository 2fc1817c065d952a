#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

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

    bool operator==(const PairingSession &) const = default;
};

// The state as the store keeps it and the service reports it: "pending", "claimed", "aborted".
const char *stateName(PairingSession::State state);
PairingSession::State stateFromName(const std::string &name);

struct StoredTranscript {
    std::string text;
    std::string fileName;
};

// What a store operation found. Anything but `done` left the store as it was.
enum class Verdict {
    done,
    unknown,           // no such session
    expired,           // idle for longer than the store's idle time
    wrongCredential,   // the key or token does not hash to the stored one
    aborted,
    notClaimed,        // choose before the phone's claim
    alreadyClaimed,
    notReady,          // upload before the phone asked for the transcript
    alreadyReceived,   // fetch after the phone confirmed it
    nothingToConfirm,  // received with no transcript
    exists,            // create with an id in use
    full,              // create beyond the live sessions allowed
};

struct StoreAnswer {
    Verdict verdict = Verdict::done;
    PairingSession session;                      // as written, when done
    std::optional<StoredTranscript> transcript;  // fetch's answer, when there is one
};

// The store cannot be reached: the request is answered 503, never guessed.
struct StoreUnavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The sessions, with the operations the requests need; each checks and writes as one atomic
// step, so that requests answered at once by several threads or several nodes cannot interleave.
// A session idle for longer than the store's idle time is expired, and goes with its transcript
// without a request. Every credential below is the SHA-256 of the client's key or token; every
// `nowMs` is the service's clock. Accepted operations count as activity. Thread-safe.
class SessionStore {
public:
    virtual ~SessionStore() = default;

    // done, exists (an id in use and not expired) or full (`maxLive` live sessions already).
    virtual Verdict create(const PairingSession &session, std::int64_t maxLive) = 0;
    // Claims a pending session for the phone whose token hashes to `tokenHash`.
    virtual StoreAnswer claim(const std::string &id, const std::string &tokenHash, std::int64_t nowMs) = 0;
    // The importer's credential checked without counting as activity: the gate of an upload body.
    virtual Verdict checkKey(const std::string &id, const std::string &keyHash, std::int64_t nowMs) = 0;

    // Importer side, by the importer's key.
    virtual StoreAnswer poll(const std::string &id, const std::string &keyHash, std::int64_t nowMs) = 0;
    virtual StoreAnswer choose(const std::string &id, const std::string &keyHash, const std::string &choice,
                               std::int64_t nowMs) = 0;
    // Stores the transcript the phone is waiting for; spends the upload id.
    virtual StoreAnswer upload(const std::string &id, const std::string &keyHash, StoredTranscript transcript,
                               std::int64_t nowMs) = 0;

    // Phone side, by the token of its claim.
    virtual StoreAnswer choice(const std::string &id, const std::string &tokenHash, std::int64_t nowMs) = 0;
    // Asks for a new transcript under `uploadId`; an earlier one is deleted.
    virtual StoreAnswer ready(const std::string &id, const std::string &tokenHash, const std::string &uploadId,
                              std::int64_t nowMs) = 0;
    // The transcript stays until received() confirms it.
    virtual StoreAnswer fetch(const std::string &id, const std::string &tokenHash, std::int64_t nowMs) = 0;
    virtual StoreAnswer received(const std::string &id, const std::string &tokenHash, std::int64_t nowMs) = 0;
    // Nothing of the conversation outlives an abandoned session: choice and transcript go.
    virtual StoreAnswer abort(const std::string &id, const std::string &tokenHash, std::int64_t nowMs) = 0;

    // Sessions created per client address: a burst, then a steady rate. Seconds until the next
    // creation is allowed, or 0 when this one took its place.
    virtual int takeCreation(const std::string &client, double burst, double perSecond, std::int64_t nowMs) = 0;

    // Calls `then` once every commit made before this call is on the disk, true, or false when
    // the disk failed it; from any thread. A claim or an upload is answered only then. A store
    // that syncs each write before it returns calls it at once.
    virtual void whenSynced(std::function<void(bool synced)> then) { then(true); }
};
