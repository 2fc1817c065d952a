#pragma once

#include "RequestBody.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>


struct HttpAnswer {
    int status = 200;
    std::string body;  // JSON text
    int retryAfterSeconds = 0;  // > 0: sent as Retry-After
    // When set, the answer waits, holding no thread, until this calls `send` (from any thread):
    // with true it goes out, with false a 503 goes instead. For an answer that must not come
    // before the work it confirms is on the disk.
    std::function<void(std::function<void(bool)> send)> hold = {};
};

struct HttpServerOptions {
    std::string host = "127.0.0.1";
    int port = 0;                    // 0: a free port
    std::string certFile;            // both set: HTTPS
    std::string keyFile;
    int threads = 0;                 // threads running the handler (0: one per core); connections hold none
    // Request-body bytes held by all connections together; beyond it, 503 and Retry-After.
    std::size_t maxBodyBytesInFlight = std::size_t(256) << 20;
    std::size_t maxConnections = 10000;
    std::size_t maxConnectionsPerAddress = 256;
    // Requests arriving from this address name their client in X-Forwarded-For (a load balancer).
    std::string trustedProxy;
    // A connection with no request under way is closed after this long.
    std::chrono::milliseconds idleTimeout{std::chrono::seconds(20)};
    // From a request's first byte to the end of its header.
    std::chrono::milliseconds headerTimeout{std::chrono::seconds(10)};
    // A body must bring minBytesPerSecond in every window of this length, not on average: a slow
    // line can send a large transcript, a client that trickles bytes or stalls is cut off.
    // An answer has one window plus its size at that rate.
    std::chrono::milliseconds rateWindow{std::chrono::seconds(10)};
    std::size_t minBytesPerSecond = 64 * 1024;
    // Body bytes whose sender is not known yet (a gate still waits for its credentials) are read
    // at most this fast past each body's first 64 KiB, across all connections together: a
    // stranger's flood takes little of the cores from known clients, and a client that sends its
    // credentials late is slowed, not refused. The wait is not held against its rate windows.
    std::size_t unknownSenderBytesPerSecond = std::size_t(16) << 20;
    // On stop, answers already being written get this long; everything else is closed at once.
    std::chrono::milliseconds stopGrace{std::chrono::milliseconds(500)};
    std::function<void(const std::string &)> log;  // one line per request; empty: quiet
};

// HTTP/1.1 on an event loop: POST "/<name>" with a JSON object body, read as it arrives into a
// RequestBody and answered by the handler. Idle and slow connections cost a socket, not a thread;
// an exception ends the connection it arose in, never the server.
class HttpServer {
public:
    // The body reader for an endpoint, with its fields, caps and gate; none for an unknown one (404).
    using Reader = std::function<std::optional<RequestBody>(std::string_view name)>;
    // Called only with a complete object body; `client` is the client's address.
    using Handler = std::function<HttpAnswer(std::string_view name, RequestBody &body, const std::string &client)>;

    HttpServer(HttpServerOptions options, Reader reader, Handler handler);
    ~HttpServer();  // stops
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Binds and starts serving on background threads; throws std::runtime_error.
    void start();
    // Within about stopGrace: stops accepting, closes idle and reading connections, lets answers
    // under way finish. Idempotent.
    void stop();
    int port() const;

    struct Impl;  // public only as a name, for the connections inside the implementation

private:
    std::unique_ptr<Impl> d;
};
