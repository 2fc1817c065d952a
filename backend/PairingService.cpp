#include "PairingService.h"

#include "PairingCrypto.h"
#include "SessionStore.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <cmath>
#include <ctime>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

using json = nlohmann::json;

namespace {

struct Reply {
    int status = 200;
    json body = json::object();
};

Reply refuse(int status, const std::string &text)
{
    return {status, json{{"error", text}}};
}

Reply missingField(const char *key)
{
    return refuse(400, std::string("missing or invalid \"") + key + "\"");
}

// The upper-case form of a UUID text, or empty when the text is not one.
std::string canonicalSessionId(const json &value)
{
    if (!value.is_string())
        return {};
    std::string id = value.get<std::string>();
    if (id.size() != 36)
        return {};
    for (std::size_t i = 0; i < id.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? id[i] != '-' : !std::isxdigit(static_cast<unsigned char>(id[i])))
            return {};
        id[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(id[i])));
    }
    return id;
}

const json *stringField(const json &body, const char *key)
{
    const auto it = body.find(key);
    return it != body.end() && it->is_string() ? &*it : nullptr;
}

// Numeric dotted components; a component stops at its first non-digit ("1.2.0-beta" is 1.2.0).
std::vector<long> versionParts(const std::string &version)
{
    std::vector<long> parts;
    std::size_t pos = 0;
    while (pos <= version.size()) {
        const std::size_t end = std::min(version.find('.', pos), version.size());
        long value = 0;
        for (std::size_t i = pos; i < end && std::isdigit(static_cast<unsigned char>(version[i])); ++i)
            value = std::min(value * 10 + (version[i] - '0'), 1'000'000'000L);
        parts.push_back(value);
        pos = end + 1;
    }
    return parts;
}

bool versionBelow(const std::string &version, const std::string &minimum)
{
    auto a = versionParts(version);
    auto b = versionParts(minimum);
    const std::size_t n = std::max(a.size(), b.size());
    a.resize(n, 0);
    b.resize(n, 0);
    return a < b;
}

// The library listens with a backlog of five, so a burst of new connections overflows it and
// the dropped ones retry a second later. Calling listen() again on the bound socket widens it.
template <typename Base>
class WideBacklog : public Base {
public:
    using Base::Base;
    void widenBacklog() { ::listen(this->svr_sock_, SOMAXCONN); }
};

std::string utcStamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

} // namespace

struct PairingService::Impl {
    using Handler = Reply (Impl::*)(const json &);

    PairingServiceOptions options;
    std::unique_ptr<httplib::Server> server;
    std::unique_ptr<SessionStore> store;
    std::mutex storeMutex;  // one connection: every store use, check through write, holds it
    std::thread thread;
    int boundPort = -1;

    std::int64_t nowMs() const
    {
        const auto now = options.clock ? options.clock() : std::chrono::system_clock::now();
        return std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    }

    bool expired(const PairingSession &s, std::int64_t now) const
    {
        return now - s.touchedMs > std::chrono::duration_cast<std::chrono::milliseconds>(options.idleTimeout).count();
    }

    // The refusal for a session that is missing or has expired; none for a live one.
    std::optional<Reply> whyNotLive(const std::optional<PairingSession> &session, std::int64_t now) const
    {
        if (!session)
            return refuse(404, "unknown pairing session");
        if (expired(*session, now))
            return refuse(410, "pairing session expired");
        return std::nullopt;
    }

    // Runs `act` on the live session named in the body once its credential checks out. Only an
    // accepted request counts as activity and is written back; a refusal leaves the store as it was.
    template <typename Act>
    Reply withSession(const json &body, const char *credentialKey, std::string PairingSession::*hash,
                      Act &&act)
    {
        const std::string id = canonicalSessionId(body.value("session_id", json()));
        if (id.empty())
            return missingField("session_id");
        const json *credential = stringField(body, credentialKey);
        if (!credential)
            return missingField(credentialKey);
        const std::string presented = PairingCrypto::sha256(credential->get<std::string>());

        std::lock_guard lock(storeMutex);
        const std::int64_t now = nowMs();
        auto session = store->find(id);
        if (const auto refusal = whyNotLive(session, now))
            return *refusal;
        if (!PairingCrypto::equalConstantTime(presented, (*session).*hash))
            return refuse(403, std::string("wrong ") + (hash == &PairingSession::keyHash ? "session key" : "phone token"));
        Reply reply = act(*session);
        if (reply.status >= 200 && reply.status < 300) {
            session->touchedMs = now;
            store->update(*session);
        }
        return reply;
    }

    template <typename Act>
    Reply withImporterSession(const json &body, Act &&act)
    {
        return withSession(body, "mac_key", &PairingSession::keyHash, std::forward<Act>(act));
    }

    template <typename Act>
    Reply withPhoneSession(const json &body, Act &&act)
    {
        return withSession(body, "phone_token", &PairingSession::phoneTokenHash, std::forward<Act>(act));
    }

    // Importer side.

    Reply create(const json &body)
    {
        const std::string id = canonicalSessionId(body.value("session_id", json()));
        if (id.empty())
            return missingField("session_id");
        const json *hashHex = stringField(body, "mac_key_hash");
        const std::string keyHash = hashHex ? PairingCrypto::fromHex(hashHex->get<std::string>()) : std::string();
        if (keyHash.size() != 32)
            return missingField("mac_key_hash");
        const json *version = stringField(body, "client_version");
        if (!version)
            return missingField("client_version");
        if (!options.minClientVersion.empty() && versionBelow(version->get<std::string>(), options.minClientVersion))
            return {200, json{{"status", "update_required"}, {"download_url", options.downloadUrl}}};

        PairingSession session;
        session.id = id;
        session.keyHash = keyHash;
        session.clientVersion = version->get<std::string>();
        std::lock_guard lock(storeMutex);
        session.createdMs = session.touchedMs = nowMs();
        store->removeIdleSince(session.createdMs -
                               std::chrono::duration_cast<std::chrono::milliseconds>(options.idleTimeout).count());
        if (!store->insert(session))
            return refuse(409, "pairing session already exists");
        return {200, json{{"status", "pending"}}};
    }

    Reply poll(const json &body)
    {
        return withImporterSession(body, [](PairingSession &s) {
            Reply reply{200, json{{"status", stateName(s.state)}}};
            if (s.uploadId && s.state != PairingSession::State::Aborted)
                reply.body["upload_id"] = *s.uploadId;
            return reply;
        });
    }

    Reply choose(const json &body)
    {
        json choice = json::object();
        for (const char *key : {"name", "handle"}) {
            const json *value = stringField(body, key);
            if (!value)
                return missingField(key);
            choice[key] = *value;
        }
        // A whole number, also when a client writes it as 3.0; never converted from out of range.
        const auto count = body.find("count");
        std::int64_t countValue = -1;
        if (count != body.end() && count->is_number_integer())
            countValue = count->get<std::int64_t>();
        else if (count != body.end() && count->is_number_float()) {
            const double value = count->get<double>();
            if (value >= 0 && value <= 9007199254740992.0 && std::floor(value) == value)
                countValue = static_cast<std::int64_t>(value);
        }
        if (countValue < 0)
            return missingField("count");
        choice["count"] = countValue;
        for (const char *key : {"first", "last"}) {
            const auto it = body.find(key);
            if (it == body.end() || !(it->is_string() || it->is_null()))
                return missingField(key);
            choice[key] = *it;
        }
        return withImporterSession(body, [&](PairingSession &s) {
            if (s.state == PairingSession::State::Aborted)
                return refuse(409, "pairing session was aborted");
            if (s.state != PairingSession::State::Claimed)
                return refuse(409, "the phone has not claimed this pairing session yet");
            s.choice = choice.dump();
            return Reply{200, json{{"status", "chosen"}}};
        });
    }

    Reply upload(const json &body)
    {
        const json *transcript = stringField(body, "transcript");
        if (!transcript)
            return missingField("transcript");
        const json *fileName = stringField(body, "file_name");
        const std::string name = fileName ? fileName->get<std::string>() : std::string();
        if (name.empty() || name == "." || name == ".." || name.find_first_of(std::string("/\\\0", 3)) != std::string::npos)
            return missingField("file_name");
        return withImporterSession(body, [&](PairingSession &s) {
            if (s.state == PairingSession::State::Aborted)
                return refuse(409, "pairing session was aborted");
            if (!s.uploadId)
                return refuse(409, "the phone is not ready for the transcript yet");
            store->setTranscript(s.id, StoredTranscript{transcript->get<std::string>(), name});
            s.uploadId.reset();
            return Reply{200, json{{"status", "uploaded"}}};
        });
    }

    // Phone side: the session id comes from the QR code; the token from the claim proves that
    // later requests come from the phone that claimed it.

    Reply claim(const json &body)
    {
        const std::string id = canonicalSessionId(body.value("session_id", json()));
        if (id.empty())
            return missingField("session_id");
        std::lock_guard lock(storeMutex);
        const std::int64_t now = nowMs();
        auto session = store->find(id);
        if (const auto refusal = whyNotLive(session, now))
            return *refusal;
        if (session->state == PairingSession::State::Aborted)
            return refuse(409, "pairing session was aborted");
        if (session->state == PairingSession::State::Claimed)
            return refuse(409, "pairing session already claimed");
        const std::string token = PairingCrypto::randomHex(32);
        session->state = PairingSession::State::Claimed;
        session->phoneTokenHash = PairingCrypto::sha256(token);
        session->touchedMs = now;
        store->update(*session);
        return {200, json{{"status", "claimed"}, {"phone_token", token}}};
    }

    Reply choice(const json &body)
    {
        return withPhoneSession(body, [](PairingSession &s) {
            if (s.state == PairingSession::State::Aborted)
                return refuse(409, "pairing session was aborted");
            return Reply{200, json{{"status", stateName(s.state)},
                                   {"choice", s.choice ? json::parse(*s.choice) : json()}}};
        });
    }

    Reply ready(const json &body)
    {
        return withPhoneSession(body, [&](PairingSession &s) {
            if (s.state == PairingSession::State::Aborted)
                return refuse(409, "pairing session was aborted");
            // A new readiness asks for a new transcript: the old one must not be fetched for it.
            s.uploadId = PairingCrypto::randomHex(16);
            if (s.hasTranscript)
                store->setTranscript(s.id, std::nullopt);
            return Reply{200, json{{"status", "ready"}, {"upload_id", *s.uploadId}}};
        });
    }

    Reply fetch(const json &body)
    {
        return withPhoneSession(body, [&](PairingSession &s) {
            if (s.state == PairingSession::State::Aborted)
                return refuse(409, "pairing session was aborted");
            const auto transcript = s.hasTranscript ? store->transcript(s.id) : std::nullopt;
            if (!transcript)
                return Reply{200, json{{"status", "waiting"}}};
            return Reply{200, json{{"status", "uploaded"},
                                   {"transcript", transcript->text},
                                   {"file_name", transcript->fileName}}};
        });
    }

    Reply abort(const json &body)
    {
        return withPhoneSession(body, [&](PairingSession &s) {
            // Nothing of the conversation outlives an abandoned session.
            s.state = PairingSession::State::Aborted;
            s.choice.reset();
            s.uploadId.reset();
            if (s.hasTranscript)
                store->setTranscript(s.id, std::nullopt);
            return Reply{200, json{{"status", "aborted"}}};
        });
    }

    void route(const char *name, Handler handler)
    {
        server->Post(std::string("/") + name, [this, handler](const httplib::Request &req, httplib::Response &res) {
            Reply reply;
            try {
                const json body = json::parse(req.body, nullptr, false);
                reply = body.is_object() ? (this->*handler)(body) : refuse(400, "request body is not a JSON object");
            } catch (const std::exception &e) {
                if (options.log)
                    options.log(utcStamp() + " internal error: " + e.what());
                reply = refuse(500, "internal error");
            }
            res.status = reply.status;
            res.set_content(reply.body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
        });
    }

    void logRequest(const httplib::Request &req, const httplib::Response &res) const
    {
        // Never the body: it carries keys, tokens and transcripts. A refusal's own text is safe.
        std::string line = utcStamp() + " " + req.remote_addr + " " + req.method + " " + req.path + " " +
                           std::to_string(res.status) + " in=" + std::to_string(req.body.size()) +
                           " out=" + std::to_string(res.body.size());
        if (res.status >= 400) {
            const json body = json::parse(res.body, nullptr, false);
            if (body.is_object() && body.contains("error") && body["error"].is_string())
                line += " \"" + body["error"].get<std::string>() + "\"";
        }
        options.log(line);
    }
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
    d->store = std::make_unique<SessionStore>(o.databasePath);

    if (!o.certFile.empty() || !o.keyFile.empty()) {
        auto tls = std::make_unique<WideBacklog<httplib::SSLServer>>(o.certFile.c_str(), o.keyFile.c_str());
        if (!tls->is_valid()) {
            d->store.reset();
            throw std::runtime_error("cannot load the TLS certificate " + o.certFile + " and key " + o.keyFile);
        }
        d->server = std::move(tls);
    } else {
        d->server = std::make_unique<WideBacklog<httplib::Server>>();
    }
    httplib::Server &server = *d->server;
    const int threads = std::max(1, o.threads);
    server.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
    server.set_payload_max_length(o.maxBodyBytes);
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request &, httplib::Response &res) {
        if (!res.body.empty())
            return httplib::Server::HandlerResponse::Unhandled;
        const char *text = res.status == 413   ? "request body too large"
                           : res.status == 404 ? "unknown endpoint"
                                               : "bad request";
        res.set_content(json{{"error", text}}.dump(), "application/json");
        return httplib::Server::HandlerResponse::Handled;
    }));
    if (o.log)
        server.set_logger([impl = d.get()](const httplib::Request &req, const httplib::Response &res) {
            impl->logRequest(req, res);
        });

    d->route("vellora-pair-create", &Impl::create);
    d->route("vellora-pair-poll", &Impl::poll);
    d->route("vellora-pair-choose", &Impl::choose);
    d->route("vellora-pair-upload", &Impl::upload);
    d->route("vellora-pair-claim", &Impl::claim);
    d->route("vellora-pair-choice", &Impl::choice);
    d->route("vellora-pair-ready", &Impl::ready);
    d->route("vellora-pair-fetch", &Impl::fetch);
    d->route("vellora-pair-abort", &Impl::abort);

    d->boundPort = o.port == 0 ? server.bind_to_any_port(o.host) : (server.bind_to_port(o.host, o.port) ? o.port : -1);
    if (d->boundPort < 0) {
        d->server.reset();
        d->store.reset();
        throw std::runtime_error("cannot listen on " + o.host + ":" + std::to_string(o.port));
    }
    if (auto *tls = dynamic_cast<WideBacklog<httplib::SSLServer> *>(&server))
        tls->widenBacklog();
    else
        static_cast<WideBacklog<httplib::Server> &>(server).widenBacklog();
    d->thread = std::thread([&server] { server.listen_after_bind(); });
}

void PairingService::stop()
{
    if (!d->server)
        return;
    d->server->stop();
    d->thread.join();
    d->server.reset();
    d->store.reset();
    d->boundPort = -1;
}

int PairingService::port() const
{
    return d->boundPort;
}

std::string PairingService::baseUrl() const
{
    const bool tls = !d->options.certFile.empty();
    const std::string host = d->options.host == "0.0.0.0" ? std::string("127.0.0.1") : d->options.host;
    return std::string(tls ? "https://" : "http://") + host + ":" + std::to_string(d->boundPort);
}
