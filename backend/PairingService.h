#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct PairingServiceOptions {
    std::string host = "127.0.0.1";
    int port = 0;                       // 0: a free port, see PairingService::port()
    std::string databasePath;           // empty: sessions live in memory only
    std::string redisUrl;               // set: sessions live in Redis instead, redis://HOST:PORT[/DB]
    std::string redisPassword;          // empty: none
    std::chrono::seconds idleTimeout = std::chrono::minutes(15);
    // Fits a conversation of about a million messages: a transcript line averages some 60 bytes.
    std::size_t maxBodyBytes = std::size_t(64) << 20;  // of an upload
    std::size_t maxRequestBytes = 64 * 1024;            // of any other request
    std::size_t maxVersionBytes = 64;                   // client_version
    std::size_t maxFieldBytes = 1024;                   // names, handles, keys, tokens, file name
    std::size_t maxBodyBytesInFlight = std::size_t(256) << 20;  // all connections' bodies together
    std::size_t maxConnections = 10000;
    std::size_t maxConnectionsPerAddress = 256;
    double createBurst = 60;                            // sessions created per client address: a burst,
    double createsPerSecond = 10;                       // then this rate
    std::size_t maxLiveSessions = 100000;
    std::string trustedProxy;                           // its X-Forwarded-For names the client
    std::string minClientVersion;       // empty: every importer version is accepted
    std::string downloadUrl = "https://vellora.app/download";
    std::string certFile;               // both set: the service speaks HTTPS
    std::string keyFile;
    int threads = 0;                    // threads answering requests (0: one per core, four on Redis);
                                        // connections hold none
    // Connection limits; see HttpServerOptions.
    std::chrono::milliseconds connectionIdleTimeout{std::chrono::seconds(20)};
    std::chrono::milliseconds headerTimeout{std::chrono::seconds(10)};
    std::chrono::milliseconds rateWindow{std::chrono::seconds(10)};
    std::size_t minBytesPerSecond = 64 * 1024;          // of a body, in every rate window
    std::size_t unknownSenderBytesPerSecond = std::size_t(16) << 20;  // upload bytes before its credentials
    std::function<std::chrono::system_clock::time_point()> clock;  // empty: the system clock
    std::function<void(const std::string &)> log;                   // one line per request; empty: quiet
};

// Milliseconds since the epoch by the service's clock (empty: the system clock).
inline std::int64_t serviceNowMs(const std::function<std::chrono::system_clock::time_point()> &clock)
{
    const auto now = clock ? clock() : std::chrono::system_clock::now();
    return std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
}

// The reference pairing service: the importer's four endpoints and the phone's six, each a
// POST of a JSON object to "<base>/<name>". Serves on background threads between start()
// and stop(); usable in-process from tests.
class PairingService {
public:
    explicit PairingService(PairingServiceOptions options = {});
    ~PairingService();  // stops
    PairingService(const PairingService &) = delete;
    PairingService &operator=(const PairingService &) = delete;

    // Opens the store, binds and starts serving; throws std::runtime_error.
    void start();
    // Within about half a second whatever the clients do: closes idle and half-sent requests,
    // finishes the answers under way, closes the store. Every answered write is in the store.
    // Idempotent.
    void stop();

    int port() const;
    std::string baseUrl() const;  // e.g. "http://127.0.0.1:41234", no trailing slash

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
