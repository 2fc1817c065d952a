#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class JsonFields;

struct HttpAnswer {
    int status = 200;
    std::string body;  // JSON text
};

struct HttpServerOptions {
    std::string host = "127.0.0.1";
    int port = 0;                    // 0: a free port
    std::string certFile;            // both set: HTTPS
    std::string keyFile;
    int threads = 0;                 // threads running the handler (0: one per core); connections hold none
    std::size_t maxBodyBytes = std::size_t(64) << 20;
    // A connection with no request under way is closed after this long.
    std::chrono::milliseconds idleTimeout{std::chrono::seconds(20)};
    // From a request's first byte to the end of its header.
    std::chrono::milliseconds headerTimeout{std::chrono::seconds(10)};
    // A body (and an answer) has this long, and after that must keep up minBytesPerSecond on average:
    // a slow line can send a large transcript, a client that trickles bytes is cut off.
    std::chrono::milliseconds bodyGrace{std::chrono::seconds(10)};
    std::size_t minBytesPerSecond = 64 * 1024;
    // On stop, answers already being written get this long; everything else is closed at once.
    std::chrono::milliseconds stopGrace{std::chrono::milliseconds(500)};
    std::function<void(const std::string &)> log;  // one line per request; empty: quiet
};

// HTTP/1.1 on an event loop: POST "/<name>" with a JSON object body, read as it arrives into
// JsonFields and answered by the handler. Idle and slow connections cost a socket, not a thread.
class HttpServer {
public:
    // The top-level keys the endpoint reads; none for an unknown endpoint (404).
    using Fields = std::function<std::optional<std::vector<std::string>>(std::string_view name)>;
    // Called only with a complete object body.
    using Handler = std::function<HttpAnswer(std::string_view name, JsonFields &body)>;

    HttpServer(HttpServerOptions options, Fields fields, Handler handler);
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
