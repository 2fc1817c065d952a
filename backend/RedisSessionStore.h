#pragma once

#include "SessionStore.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct redisContext;

// Where a Redis server is: redis://HOST:PORT[/DB].
struct RedisAddress {
    std::string host;
    int port = 6379;
    int db = 0;
};
// Throws std::invalid_argument for anything else.
RedisAddress parseRedisUrl(const std::string &url);

// Sessions in Redis, shared by every node that uses the same server. A session is the hash
// "vellora:{<id>}", its transcript the key beside it with the same tag; both expire with the
// session. Each operation is one Lua script, so it is atomic across nodes. An index of expiry
// times counts the live sessions and lets a timer remove what has expired and have Redis rewrite
// its append-only file soon after a deletion, so that no deleted text stays in its files.
// A request that cannot reach Redis throws StoreUnavailable; a lost connection is made again for
// the next. Thread-safe: each thread answering at once has a connection of its own.
class RedisSessionStore final : public SessionStore {
public:
    struct Options {
        RedisAddress address;
        std::string password;                      // empty: none
        std::chrono::milliseconds idle{std::chrono::minutes(15)};
        std::function<std::int64_t()> nowMs;       // the service's clock
        std::function<void(const std::string &)> log;
        // Redis rewrites its files at most this often, however many deletions ask for it.
        std::chrono::milliseconds rewriteEvery{std::chrono::seconds(20)};
    };
    // Does not need Redis to be up: a request made while it is down gets StoreUnavailable.
    explicit RedisSessionStore(Options options);
    ~RedisSessionStore() override;
    RedisSessionStore(const RedisSessionStore &) = delete;
    RedisSessionStore &operator=(const RedisSessionStore &) = delete;

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

    enum class Script { create, claim, checkKey, poll, choose, upload, choice, ready, fetch, received, abort,
                        creation, sweep, rewriteDue, count };

private:
    struct Connection;
    struct Reply;
    Reply run(Script script, std::vector<std::string> keys, std::vector<std::string> args);
    StoreAnswer session(Script script, const std::string &id, std::int64_t nowMs, std::vector<std::string> args);
    std::unique_ptr<Connection> connect();
    void timerLoop();

    Options m_options;
    std::vector<std::string> m_shas;  // by Script, as Redis names them
    std::mutex m_poolMutex;
    std::vector<std::unique_ptr<Connection>> m_idle;
    std::mutex m_timerMutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_timer;
};
