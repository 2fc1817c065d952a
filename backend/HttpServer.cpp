#include "HttpServer.h"

#include "UtcStamp.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t headerLimit = 16 * 1024;
// Read and dropped after a refusal, for at most as long, so that the answer arrives.
constexpr std::size_t drainLimit = 1 << 20;
constexpr auto drainTime = std::chrono::seconds(1);
constexpr std::uint64_t unknownSenderFreeBytes = 64 * 1024;  // as much as any request but an upload

std::string endpointName(beast::string_view text)
{
    std::string_view target(text.data(), text.size());
    target = target.substr(0, target.find('?'));
    if (target.empty() || target.front() != '/')
        return {};
    return std::string(target.substr(1));
}

using Refusal = RequestBody::Refusal;
const Refusal overBudget{503, "the service is busy, try again shortly", 1};
const Refusal internalError{503, "internal error", 0};

// Request-body bytes held across all connections, against their budget.
class BodyBudget {
public:
    explicit BodyBudget(std::uint64_t limit = 0) : m_limit(limit) {}
    bool take(std::uint64_t bytes)
    {
        if (m_used.fetch_add(bytes) + bytes <= m_limit)
            return true;
        m_used.fetch_sub(bytes);
        return false;
    }
    void give(std::uint64_t bytes) { m_used.fetch_sub(bytes); }
    void setLimit(std::uint64_t limit) { m_limit = limit; }

private:
    std::atomic<std::uint64_t> m_used{0};
    std::uint64_t m_limit;
};

// The request body as Beast reads it: straight into the endpoint's RequestBody, never kept whole.
struct ScanBody {
    struct value_type {
        value_type() = default;
        value_type(const value_type &) = delete;
        value_type &operator=(const value_type &) = delete;
        ~value_type()
        {
            if (budget)
                budget->give(held);
        }

        BodyBudget *budget = nullptr;
        std::optional<RequestBody> body;  // none: an unknown endpoint
        std::uint64_t held = 0;           // bytes taken from the budget
        std::optional<Refusal> refused;   // the budget ran out, or reading threw
    };

    class reader {
    public:
        template <bool isRequest, class Fields>
        reader(http::header<isRequest, Fields> &, value_type &body) : m_body(body)
        {
        }
        // The RequestBody is made and told the declared length once the header is in; see onRead().
        void init(const boost::optional<std::uint64_t> &, beast::error_code &ec) { ec = {}; }
        template <class Buffers>
        std::size_t put(const Buffers &buffers, beast::error_code &ec)
        {
            ec = {};
            std::size_t used = 0;
            for (const auto buffer : beast::buffers_range_ref(buffers)) {
                if (!m_body.body || m_body.refused) {
                    ec = asio::error::invalid_argument;
                    break;
                }
                if (!m_body.budget->take(buffer.size())) {
                    m_body.refused = overBudget;
                    ec = asio::error::invalid_argument;
                    break;
                }
                m_body.held += buffer.size();
                used += buffer.size();
                try {
                    if (m_body.body->feed(std::string_view(static_cast<const char *>(buffer.data()), buffer.size())) !=
                        RequestBody::Status::reading) {
                        ec = asio::error::invalid_argument;
                        break;
                    }
                } catch (...) {
                    // Out of memory, most likely: this request ends, the others go on.
                    m_body.refused = internalError;
                    ec = asio::error::invalid_argument;
                    break;
                }
            }
            return used;
        }
        void finish(beast::error_code &ec) { ec = {}; }

    private:
        value_type &m_body;
    };
};

std::string refusalBody(const char *text)
{
    return nlohmann::json{{"error", text}}.dump();
}

class ConnectionBase {
public:
    virtual ~ConnectionBase() = default;
    virtual void stopSoon() = 0;
    // Sends the held answer, or a 503 in its place; from any thread.
    virtual void release(bool ok) = 0;
};

// Spaces reads out so that the bytes they bring, across all connections, pass at most at a rate,
// with a tenth of a second's worth let through at once.
class ReadPace {
public:
    void setRate(std::uint64_t bytesPerSecond) { m_rate = std::max<std::uint64_t>(bytesPerSecond, 1); }
    // How long to wait before reading again, `bytes` having just been read.
    std::chrono::nanoseconds take(std::uint64_t bytes)
    {
        std::lock_guard lock(m_mutex);
        const auto now = Clock::now();
        m_due = std::max(m_due, now) + std::chrono::nanoseconds(bytes * 1'000'000'000 / m_rate);
        return std::max(std::chrono::nanoseconds(0), m_due - now - std::chrono::milliseconds(100));
    }

private:
    std::mutex m_mutex;
    std::uint64_t m_rate = 1;
    Clock::time_point m_due;  // when the bytes taken so far have passed at the rate
};

// Connections whose answer is held. While one waits, its only owner is here: a release that
// comes after the server has stopped finds nothing to wake, and the connections still waiting
// then go on the stopping thread, while their event loop still exists.
class HeldAnswers {
public:
    std::uint64_t hold(std::shared_ptr<ConnectionBase> connection)
    {
        std::lock_guard lock(m_mutex);
        const std::uint64_t ticket = ++m_tickets;
        if (m_open)
            m_held.emplace(ticket, std::move(connection));
        return ticket;
    }
    // From any thread, once per ticket. All under the lock, our reference's end included: the
    // event loop cannot go meanwhile, and what it has been handed goes with it.
    void release(std::uint64_t ticket, bool ok)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_held.find(ticket);
        if (it == m_held.end())
            return;
        it->second->release(ok);
        m_held.erase(it);
    }
    void close()
    {
        std::unordered_map<std::uint64_t, std::shared_ptr<ConnectionBase>> waiting;
        std::lock_guard lock(m_mutex);
        m_open = false;
        waiting.swap(m_held);
    }

private:
    std::mutex m_mutex;
    bool m_open = true;
    std::uint64_t m_tickets = 0;
    std::unordered_map<std::uint64_t, std::shared_ptr<ConnectionBase>> m_held;
};

} // namespace

struct HttpServer::Impl {
    HttpServerOptions options;
    Reader reader;
    Handler handler;
    BodyBudget budget;
    ReadPace unknownSenders;

    std::mutex registryMutex;
    std::condition_variable registryEmpty;
    std::unordered_map<const ConnectionBase *, std::weak_ptr<ConnectionBase>> connections;
    std::unordered_map<std::string, std::size_t> perAddress;  // open connections by client address

    std::unique_ptr<asio::io_context> io;
    std::unique_ptr<asio::ssl::context> tls;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<asio::steady_timer> acceptRetry;
    std::vector<std::thread> threads;
    std::atomic<bool> stopping{false};
    std::shared_ptr<HeldAnswers> held;
    int boundPort = -1;

    void accept();
    template <class Stream>
    void serve(Stream stream, const std::string &remote);

    // False when the caps on open connections leave no room for one more from `remote`.
    bool admit(const std::string &remote)
    {
        std::lock_guard lock(registryMutex);
        if (connections.size() >= options.maxConnections)
            return false;
        if (remote == options.trustedProxy)
            return true;
        std::size_t &open = perAddress[remote];
        if (open >= options.maxConnectionsPerAddress) {
            if (open == 0)
                perAddress.erase(remote);
            return false;
        }
        ++open;
        return true;
    }
    void enroll(const std::shared_ptr<ConnectionBase> &connection)
    {
        std::lock_guard lock(registryMutex);
        connections.emplace(connection.get(), connection);
    }
    void leave(const ConnectionBase *connection, const std::string &remote)
    {
        std::lock_guard lock(registryMutex);
        connections.erase(connection);
        if (remote != options.trustedProxy) {
            const auto it = perAddress.find(remote);
            if (it != perAddress.end() && --it->second == 0)
                perAddress.erase(it);
        }
        if (connections.empty())
            registryEmpty.notify_all();
    }

    std::chrono::milliseconds allowance(std::uint64_t bytes) const
    {
        const auto rate = std::max<std::size_t>(options.minBytesPerSecond, 1);
        return options.rateWindow + std::chrono::milliseconds(bytes * 1000 / rate);
    }
};

namespace {

template <class Stream>
class Connection : public ConnectionBase, public std::enable_shared_from_this<Connection<Stream>> {
public:
    Connection(HttpServer::Impl &server, Stream stream, std::string remote)
        : m_server(server), m_stream(std::move(stream)), m_deadline(m_stream.get_executor()),
          m_pause(m_stream.get_executor()), m_remote(std::move(remote))
    {
    }
    ~Connection() override { m_server.leave(this, m_remote); }

    void run()
    {
        if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
            nextRequest();
        } else {
            beast::get_lowest_layer(m_stream).expires_after(m_server.options.headerTimeout);
            m_stream.async_handshake(asio::ssl::stream_base::server,
                                     [self = this->shared_from_this()](beast::error_code ec) {
                                         self->guarded([&] {
                                             if (ec)
                                                 return self->close();
                                             self->nextRequest();
                                         });
                                     });
        }
    }

    void stopSoon() override
    {
        asio::post(m_stream.get_executor(), [self = this->shared_from_this()] {
            if (self->m_phase == Phase::answering) {
                // Finish this answer, then close; a client that won't read it doesn't delay the stop.
                self->m_keepAlive = false;
                beast::get_lowest_layer(self->m_stream).expires_after(self->m_server.options.stopGrace);
            } else {
                self->close();
            }
        });
    }

private:
    enum class Phase { idle, header, body, answering, closed };

    tcp::socket &socket() { return beast::get_lowest_layer(m_stream).socket(); }

    // Whatever a step of this connection throws (bad_alloc included) ends this connection alone:
    // with a 503 when no answer has started, else by closing it.
    template <typename F>
    void guarded(F &&step)
    {
        try {
            step();
        } catch (...) {
            if (m_phase != Phase::answering && m_phase != Phase::closed) {
                try {
                    return refuse(internalError);
                } catch (...) {
                }
            }
            close();
        }
    }

    void nextRequest()
    {
        if (m_server.stopping)
            return close();
        m_phase = Phase::idle;
        m_idleSince = Clock::now();
        m_parser.emplace();
        m_parser->body_limit(boost::none);  // each endpoint's RequestBody has its own
        m_parser->header_limit(headerLimit);
        m_parser->eager(false);
        m_parser->get().body().budget = &m_server.budget;
        read();
    }

    std::uint64_t bodyBytes() const
    {
        const auto &body = m_parser->get().body().body;
        return body ? body->bytesRead() : 0;
    }

    // The body brought its share in the window now ending: at least the minimum rate, or all
    // that was left of a declared length.
    bool keptUp() const
    {
        const auto window = std::chrono::duration_cast<std::chrono::milliseconds>(m_server.options.rateWindow);
        std::uint64_t need = std::uint64_t(m_server.options.minBytesPerSecond) * std::uint64_t(window.count()) / 1000;
        if (const auto length = m_parser->content_length_remaining())
            need = std::min<std::uint64_t>(need, bodyBytes() - m_windowMark + *length);
        return bodyBytes() - m_windowMark >= need;
    }

    void read()
    {
        const auto now = Clock::now();
        Clock::time_point deadline;
        if (!m_parser->got_some() && m_buffer.size() == 0) {
            deadline = m_idleSince + m_server.options.idleTimeout;
        } else if (!m_parser->is_header_done()) {
            if (m_phase != Phase::header) {
                m_phase = Phase::header;
                m_started = now;
            }
            deadline = m_started + m_server.options.headerTimeout;
        } else {
            deadline = m_windowEnd;
        }
        // A timer of our own rather than the stream's: that one closes the socket, and a slow
        // client is owed its 408.
        beast::get_lowest_layer(m_stream).expires_never();
        m_timedOut = false;
        arm(deadline, ++m_reads);
        http::async_read_some(m_stream, m_buffer, *m_parser,
                              [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                                  self->m_deadline.cancel();
                                  ++self->m_reads;
                                  self->guarded([&] { self->onRead(ec); });
                              });
    }

    void arm(Clock::time_point deadline, std::uint64_t read)
    {
        m_deadline.expires_at(deadline);
        // A timer that fired as its read completed must not cut the next read short.
        m_deadline.async_wait([self = this->shared_from_this(), read](beast::error_code ec) {
            if (ec || read != self->m_reads || self->m_phase == Phase::answering || self->m_phase == Phase::closed)
                return;
            if (self->m_phase == Phase::body && self->keptUp()) {
                // A new window starts; the read under way goes on.
                self->m_windowMark = self->bodyBytes();
                self->m_windowEnd += self->m_server.options.rateWindow;
                return self->arm(self->m_windowEnd, read);
            }
            self->m_timedOut = true;
            beast::error_code ignored;
            self->socket().cancel(ignored);
        });
    }

    void onRead(beast::error_code ec)
    {
        if (m_phase == Phase::closed)
            return;
        if (m_timedOut) {
            if (m_phase == Phase::idle && !m_parser->got_some())
                return close();
            return refuse({408, "request timed out", 0});
        }
        if (ec == http::error::header_limit)
            return refuse({431, "request header too large", 0});
        auto &body = m_parser->get().body();
        if (body.refused)
            return refuse(*body.refused);
        if (ec == asio::error::invalid_argument && body.body && body.body->status() != RequestBody::Status::reading) {
            return refuse(body.body->refusal());
        }
        if (ec) {
            // The peer went away, or sent something that is not HTTP.
            if (ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
                ec != http::error::end_of_stream && ec != http::error::partial_message)
                return refuse({400, "bad request", 0});
            return close();
        }
        if (m_parser->is_header_done() && m_phase != Phase::body) {
            // The parser stops after the header, so the endpoint is known before the body's first byte.
            m_phase = Phase::body;
            m_windowEnd = Clock::now() + m_server.options.rateWindow;
            m_windowMark = m_paced = 0;
            body.body = m_server.reader(endpointName(m_parser->get().target()));
            if (!body.body)
                return refuse({404, "unknown endpoint", 0});
            if (m_parser->get().method() != http::verb::post)
                return refuse({405, "only POST is answered", 0});
            if (const auto length = m_parser->content_length();
                length && body.body->expect(*length) != RequestBody::Status::reading) {
                return refuse(body.body->refusal());
            }
            // Large bodies in large reads; idle connections keep a small buffer.
            if (m_parser->content_length().value_or(headerLimit) >= headerLimit)
                m_buffer.reserve(64 * 1024);
        }
        if (m_parser->is_done())
            return answer();
        if (const auto wait = paceUnknownSender(); wait.count() > 0)
            return pause(wait);
        read();
    }

    // How long to wait before reading more of a body whose sender is not known yet.
    std::chrono::nanoseconds paceUnknownSender()
    {
        const auto &body = m_parser->get().body().body;
        const std::uint64_t read = bodyBytes();
        if (!body || !body->gateWaiting() || read <= unknownSenderFreeBytes)
            return {};
        const std::uint64_t fresh = read - std::max(m_paced, unknownSenderFreeBytes);
        m_paced = read;
        return m_server.unknownSenders.take(fresh);
    }

    void pause(std::chrono::nanoseconds wait)
    {
        // The wait is ours, not the sender's: its window moves on by as much.
        m_windowEnd += std::chrono::duration_cast<Clock::duration>(wait);
        m_pause.expires_after(wait);
        m_pause.async_wait([self = this->shared_from_this()](beast::error_code ec) {
            self->guarded([&] {
                if (!ec && self->m_phase == Phase::body)
                    self->read();
            });
        });
    }

    // The address the request comes from: the socket's, or what a trusted proxy says it is.
    std::string client() const
    {
        if (m_remote != m_server.options.trustedProxy)
            return m_remote;
        const auto header = m_parser->get()["X-Forwarded-For"];
        std::string_view forwarded(header.data(), header.size());
        // The proxy appends the address it saw; anything before that the client may have made up.
        forwarded = forwarded.substr(forwarded.rfind(',') + 1);
        const auto begin = forwarded.find_first_not_of(" \t");
        const auto end = forwarded.find_last_not_of(" \t");
        return begin == std::string_view::npos ? m_remote : std::string(forwarded.substr(begin, end - begin + 1));
    }

    void answer()
    {
        m_phase = Phase::answering;
        auto &request = m_parser->get();
        m_keepAlive = request.keep_alive() && !m_server.stopping;
        RequestBody &body = *request.body().body;
        HttpAnswer reply;
        if (body.finish() != RequestBody::Status::complete) {
            const Refusal refusal = body.refusal();
            reply = {refusal.status, refusalBody(refusal.text.c_str()), refusal.retryAfterSeconds};
        } else {
            try {
                reply = m_server.handler(endpointName(request.target()), body, client());
            } catch (...) {
                m_phase = Phase::body;  // no answer has started: guarded() sends the 503
                throw;
            }
        }
        write(std::move(reply));
    }

    // An answer that ends the connection: the rest of the request is not read.
    void refuse(const Refusal &refusal)
    {
        m_phase = Phase::answering;
        m_keepAlive = false;
        m_refused = true;
        write({refusal.status, refusalBody(refusal.text.c_str()), refusal.retryAfterSeconds});
    }

    // What the log says of a request, kept past its parser.
    struct RequestLine {
        std::string method;
        std::string target;
        std::uint64_t in = 0;
    };

    void write(HttpAnswer reply)
    {
        RequestLine line;
        if (m_parser)
            line = {std::string(m_parser->get().method_string()), std::string(m_parser->get().target()), bodyBytes()};
        m_parser.reset();  // frees the kept fields (a transcript) and their budget before the answer goes out
        if (!reply.hold)
            return send(std::move(reply), line);
        const auto hold = std::move(reply.hold);
        m_held.emplace(std::move(reply), std::move(line));
        const std::uint64_t ticket = m_server.held->hold(this->shared_from_this());
        hold([held = m_server.held, ticket](bool ok) { held->release(ticket, ok); });
    }

    void release(bool ok) override
    {
        asio::post(m_stream.get_executor(), [self = this->shared_from_this(), ok] {
            self->guarded([&] {
                if (!self->m_held)
                    return;
                auto [reply, line] = std::move(*self->m_held);
                self->m_held.reset();
                if (!ok)
                    reply = {internalError.status, refusalBody(internalError.text.c_str())};
                self->send(std::move(reply), line);
            });
        });
    }

    void send(HttpAnswer reply, const RequestLine &line)
    {
        m_response = {};
        m_response.result(static_cast<unsigned>(reply.status));
        m_response.version(11);
        m_response.set(http::field::content_type, "application/json");
        if (reply.retryAfterSeconds > 0)
            m_response.set(http::field::retry_after, std::to_string(reply.retryAfterSeconds));
        m_response.keep_alive(m_keepAlive);
        m_response.body() = std::move(reply.body);
        m_response.prepare_payload();
        if (m_server.options.log)
            log(line.method, line.target, reply.status, line.in);

        beast::get_lowest_layer(m_stream).expires_after(m_server.allowance(m_response.body().size()));
        http::async_write(m_stream, m_response, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            self->guarded([&] {
                if (ec || !self->m_keepAlive)
                    return self->m_refused && !ec ? self->drainThenClose() : self->close();
                self->m_response = {};
                if (self->m_buffer.capacity() > headerLimit && self->m_buffer.size() == 0)
                    self->m_buffer.shrink_to_fit();
                self->nextRequest();
            });
        });
    }
    void log(const std::string &method, const std::string &target, int status, std::uint64_t in) const
    {
        // Never the body: it carries keys, tokens and transcripts. A refusal's own text is safe.
        std::string line = utcStamp() + " " + m_remote + " " + method + " " + target + " " + std::to_string(status) +
                           " in=" + std::to_string(in) + " out=" + std::to_string(m_response.body().size());
        if (status >= 400) {
            const auto body = nlohmann::json::parse(m_response.body(), nullptr, false);
            if (body.is_object() && body.contains("error") && body["error"].is_string())
                line += " \"" + body["error"].template get<std::string>() + "\"";
        }
        m_server.options.log(line);
    }

    // After a refusal the client may still be sending; closing on unread bytes would reset the
    // connection and could take the answer with it. So stop sending, read a little, then close.
    void drainThenClose()
    {
        if (m_server.stopping)
            return close();
        m_phase = Phase::closed;
        beast::error_code ignored;
        socket().shutdown(tcp::socket::shutdown_send, ignored);
        beast::get_lowest_layer(m_stream).expires_after(drainTime);
        m_buffer.clear();
        drain(0);
    }

    void drain(std::size_t drained)
    {
        beast::get_lowest_layer(m_stream).async_read_some(
            m_buffer.prepare(64 * 1024), [self = this->shared_from_this(), drained](beast::error_code ec, std::size_t n) {
                if (ec || drained + n > drainLimit)
                    return self->closeSocket();
                // Refused senders are unknown senders: a flood of them drains at their pace.
                const auto wait = self->m_server.unknownSenders.take(n);
                if (wait.count() == 0)
                    return self->drain(drained + n);
                if (wait >= drainTime)
                    return self->closeSocket();
                self->m_pause.expires_after(wait);
                self->m_pause.async_wait([self, drained, n](beast::error_code cancelled) {
                    if (!cancelled)
                        self->drain(drained + n);
                });
            });
    }

    void close()
    {
        m_phase = Phase::closed;
        closeSocket();
    }

    void closeSocket()
    {
        m_deadline.cancel();
        m_pause.cancel();
        beast::error_code ignored;
        socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(m_stream).close();
        // The parser stays: a read still in flight completes into it after the close. It goes
        // with the connection, once the last handler has let go.
    }

    HttpServer::Impl &m_server;
    Stream m_stream;
    asio::steady_timer m_deadline;
    asio::steady_timer m_pause;  // between reads of a paced body
    bool m_timedOut = false;
    std::uint64_t m_reads = 0;  // reads started, so a late timer knows whether its read is still on
    std::string m_remote;
    beast::flat_buffer m_buffer{headerLimit + 64 * 1024};
    std::optional<http::request_parser<ScanBody>> m_parser;
    Clock::time_point m_windowEnd;   // of the body's current rate window
    std::uint64_t m_windowMark = 0;  // body bytes read when that window began
    std::uint64_t m_paced = 0;       // body bytes the pace has been told of
    http::response<http::string_body> m_response;
    std::optional<std::pair<HttpAnswer, RequestLine>> m_held;  // an answer that waits for its release
    Phase m_phase = Phase::idle;
    Clock::time_point m_idleSince;
    Clock::time_point m_started;
    bool m_keepAlive = true;
    bool m_refused = false;
};

} // namespace

template <class Stream>
void HttpServer::Impl::serve(Stream stream, const std::string &remote)
{
    auto connection = std::make_shared<Connection<Stream>>(*this, std::move(stream), remote);
    enroll(connection);
    connection->run();
}

void HttpServer::Impl::accept()
{
    acceptor->async_accept(asio::make_strand(*io), [this](beast::error_code ec, tcp::socket socket) {
        if (stopping || !acceptor->is_open())
            return;
        if (ec) {
            // Out of descriptors, most likely: try again shortly rather than spin.
            acceptRetry->expires_after(std::chrono::milliseconds(50));
            acceptRetry->async_wait([this](beast::error_code waitError) {
                if (!waitError && !stopping)
                    accept();
            });
            return;
        }
        beast::error_code ignored;
        const auto peer = socket.remote_endpoint(ignored);
        const std::string remote = peer.address().to_string(ignored);
        if (!admit(remote)) {
            // Over a connection cap: closed at once, before it costs more than the accept.
            socket.close(ignored);
            return accept();
        }
        socket.set_option(tcp::no_delay(true), ignored);
        if (tls)
            serve(beast::ssl_stream<beast::tcp_stream>(beast::tcp_stream(std::move(socket)), *tls), remote);
        else
            serve(beast::tcp_stream(std::move(socket)), remote);
        accept();
    });
}

HttpServer::HttpServer(HttpServerOptions options, Reader reader, Handler handler) : d(std::make_unique<Impl>())
{
    d->options = std::move(options);
    d->budget.setLimit(d->options.maxBodyBytesInFlight);
    d->unknownSenders.setRate(d->options.unknownSenderBytesPerSecond);
    d->reader = std::move(reader);
    d->handler = std::move(handler);
}

HttpServer::~HttpServer()
{
    stop();
}

void HttpServer::start()
{
    if (d->io)
        throw std::runtime_error("the server is already running");
    const HttpServerOptions &o = d->options;
    if (!o.certFile.empty() || !o.keyFile.empty()) {
        auto tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
        beast::error_code ec;
        tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                         asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                         asio::ssl::context::no_tlsv1_1);
        tls->use_certificate_chain_file(o.certFile, ec);
        if (!ec)
            tls->use_private_key_file(o.keyFile, asio::ssl::context::pem, ec);
        if (ec)
            throw std::runtime_error("cannot load the TLS certificate " + o.certFile + " and key " + o.keyFile);
        d->tls = std::move(tls);
    }
    // Connections hold no thread: one per core keeps every core busy.
    const int threads = o.threads > 0 ? o.threads : int(std::max(1u, std::thread::hardware_concurrency()));
    d->io = std::make_unique<asio::io_context>(threads);
    d->held = std::make_shared<HeldAnswers>();
    try {
        beast::error_code ec;
        const tcp::endpoint endpoint(asio::ip::make_address(o.host), static_cast<unsigned short>(o.port));
        d->acceptor = std::make_unique<tcp::acceptor>(asio::make_strand(*d->io));
        d->acceptor->open(endpoint.protocol());
        d->acceptor->set_option(asio::socket_base::reuse_address(true));
        d->acceptor->bind(endpoint);
        d->acceptor->listen(asio::socket_base::max_listen_connections);
        d->boundPort = d->acceptor->local_endpoint().port();
    } catch (const std::exception &) {
        d->acceptor.reset();
        d->io.reset();
        d->tls.reset();
        throw std::runtime_error("cannot listen on " + o.host + ":" + std::to_string(o.port));
    }
    d->acceptRetry = std::make_unique<asio::steady_timer>(d->acceptor->get_executor());
    d->stopping = false;
    d->accept();
    for (int i = 0; i < threads; ++i)
        d->threads.emplace_back([io = d->io.get()] {
            // A handler that throws past its connection's own guard costs that connection only.
            for (;;) {
                try {
                    io->run();
                    return;
                } catch (...) {
                }
            }
        });
}

void HttpServer::stop()
{
    if (!d->io)
        return;
    d->stopping = true;
    asio::post(d->acceptor->get_executor(), [impl = d.get()] {
        beast::error_code ignored;
        impl->acceptor->close(ignored);
        impl->acceptRetry->cancel();
    });
    std::vector<std::shared_ptr<ConnectionBase>> open;
    {
        std::lock_guard lock(d->registryMutex);
        for (auto &[key, weak] : d->connections)
            if (auto connection = weak.lock())
                open.push_back(std::move(connection));
    }
    for (const auto &connection : open)
        connection->stopSoon();
    open.clear();  // a connection's last owner may be here; it leaves the registry as it goes
    {
        std::unique_lock lock(d->registryMutex);
        d->registryEmpty.wait_for(lock, d->options.stopGrace + std::chrono::milliseconds(200),
                                  [this] { return d->connections.empty(); });
    }
    d->io->stop();
    for (auto &thread : d->threads)
        thread.join();
    d->threads.clear();
    d->held->close();
    d->acceptRetry.reset();
    d->acceptor.reset();
    d->io.reset();  // drops the connections still waiting
    d->tls.reset();
    d->boundPort = -1;
}

int HttpServer::port() const
{
    return d->boundPort;
}
