#include "PairingService.h"

#include "HttpServer.h"
#include "PairingRequests.h"
#include "RedisSessionStore.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

struct PairingService::Impl {
    PairingServiceOptions options;
    std::unique_ptr<PairingRequests> requests;
    std::unique_ptr<HttpServer> server;
};

PairingService::PairingService(PairingServiceOptions options) : d(std::make_unique<Impl>())
{
    d->options = std::move(options);
}

PairingService::~PairingService()
{
    stop();
}

void PairingService::start()
{
    if (d->server)
        throw std::runtime_error("the pairing service is already running");
    const PairingServiceOptions &o = d->options;
    std::unique_ptr<SessionStore> store;
    if (!o.redisUrl.empty()) {
        RedisSessionStore::Options redis;
        redis.address = parseRedisUrl(o.redisUrl);
        redis.password = o.redisPassword;
        redis.idle = std::chrono::duration_cast<std::chrono::milliseconds>(o.idleTimeout);
        redis.nowMs = [clock = o.clock] { return serviceNowMs(clock); };
        redis.log = o.log;
        store = std::make_unique<RedisSessionStore>(std::move(redis));
    }
    d->requests = std::make_unique<PairingRequests>(o, std::move(store));

    HttpServerOptions http;
    http.host = o.host;
    http.port = o.port;
    http.certFile = o.certFile;
    http.keyFile = o.keyFile;
    // A request on Redis waits for the network and for Redis's sync to the disk, not for a core;
    // more of them at once share each of those syncs.
    const bool waitsOnNetwork = !o.redisUrl.empty();
    http.threads = o.threads > 0 || !waitsOnNetwork ? o.threads : int(4 * std::max(1u, std::thread::hardware_concurrency()));
    http.maxBodyBytesInFlight = o.maxBodyBytesInFlight;
    http.maxConnections = o.maxConnections;
    http.maxConnectionsPerAddress = o.maxConnectionsPerAddress;
    http.trustedProxy = o.trustedProxy;
    http.idleTimeout = o.connectionIdleTimeout;
    http.headerTimeout = o.headerTimeout;
    http.rateWindow = o.rateWindow;
    http.minBytesPerSecond = o.minBytesPerSecond;
    http.unknownSenderBytesPerSecond = o.unknownSenderBytesPerSecond;
    http.log = o.log;
    PairingRequests *requests = d->requests.get();
    auto server = std::make_unique<HttpServer>(
        http, [requests](std::string_view name) { return requests->body(name); },
        [requests](std::string_view name, RequestBody &body, const std::string &client) {
            PairingAnswer answer = requests->answer(name, body, client);
            HttpAnswer reply{answer.status, std::move(answer.body), answer.retryAfterSeconds};
            if (answer.onDisk)
                reply.hold = [requests](std::function<void(bool)> send) { requests->whenSynced(std::move(send)); };
            return reply;
        });
    try {
        server->start();
    } catch (...) {
        d->requests.reset();
        throw;
    }
    d->server = std::move(server);
}

void PairingService::stop()
{
    if (!d->server)
        return;
    d->server->stop();
    d->server.reset();
    d->requests.reset();
}

int PairingService::port() const
{
    return d->server ? d->server->port() : -1;
}

std::string PairingService::baseUrl() const
{
    const bool tls = !d->options.certFile.empty();
    const std::string host = d->options.host == "0.0.0.0" ? std::string("127.0.0.1") : d->options.host;
    return std::string(tls ? "https://" : "http://") + host + ":" + std::to_string(port());
}
