#include "PairingService.h"

#include "HttpServer.h"
#include "PairingRequests.h"

#include <stdexcept>

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
    d->requests = std::make_unique<PairingRequests>(o);

    HttpServerOptions http;
    http.host = o.host;
    http.port = o.port;
    http.certFile = o.certFile;
    http.keyFile = o.keyFile;
    http.threads = o.threads;
    http.maxBodyBytes = o.maxBodyBytes;
    http.idleTimeout = o.connectionIdleTimeout;
    http.headerTimeout = o.headerTimeout;
    http.bodyGrace = o.bodyGrace;
    http.log = o.log;
    auto server = std::make_unique<HttpServer>(
        http, [](std::string_view name) { return PairingRequests::fields(name); },
        [requests = d->requests.get()](std::string_view name, JsonFields &body) {
            PairingAnswer answer = requests->answer(name, body);
            return HttpAnswer{answer.status, std::move(answer.body)};
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
