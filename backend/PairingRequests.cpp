#include "PairingRequests.h"

#include "PairingCrypto.h"
#include "SqliteSessionStore.h"
#include "UtcStamp.h"

#include <boost/json/serialize.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <stdexcept>

using json = nlohmann::json;
using Kind = RequestBody::Kind;
using Field = RequestBody::Field;

constexpr std::size_t sessionIdBytes = 64;  // a UUID is 36; room for a client's spaces is not needed

namespace {

struct Reply {
    Reply(int s = 200, json b = json::object(), int retry = 0) : status(s), body(std::move(b)), retryAfterSeconds(retry) {}
    int status;
    json body;
    int retryAfterSeconds;
    std::optional<StoredTranscript> transcript;  // when set, the answer is this, handed over
    bool onDisk = false;                         // sent once the store's commit is on the disk
};

// An acknowledgement the power must not take back.
Reply onDisk(Reply reply)
{
    reply.onDisk = true;
    return reply;
}

Reply refuse(int status, const std::string &text, int retryAfterSeconds = 0)
{
    return {status, json{{"error", text}}, retryAfterSeconds};
}

Reply missingField(const char *key)
{
    return refuse(400, std::string("missing or invalid \"") + key + "\"");
}

// The upper-case form of a UUID text, or empty when the text is not one.
std::string canonicalSessionId(const std::string *value)
{
    if (!value || value->size() != 36)
        return {};
    std::string id = *value;
    for (std::size_t i = 0; i < id.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? id[i] != '-' : !std::isxdigit(static_cast<unsigned char>(id[i])))
            return {};
        id[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(id[i])));
    }
    return id;
}

// A whole, non-negative count, also when a client writes it as 3.0; never converted from out of range.
std::int64_t countValue(const RequestBody::Value &value)
{
    const double n = value.number;
    if (value.kind != Kind::number || !(n >= 0 && n <= 9007199254740992.0) || std::floor(n) != n)
        return -1;
    return static_cast<std::int64_t>(n);
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

enum class Endpoint { create, poll, choose, upload, claim, choice, ready, fetch, received, abort };

// What caps a field: a session id, the client version, a description or credential, the transcript.
enum class Cap { id, version, text, transcript };

std::size_t capBytes(Cap cap, const PairingServiceOptions &options)
{
    switch (cap) {
    case Cap::id: return sessionIdBytes;
    case Cap::version: return options.maxVersionBytes;
    case Cap::text: return options.maxFieldBytes;
    case Cap::transcript: return options.maxBodyBytes;
    }
    return options.maxFieldBytes;
}

struct Route {
    std::string_view name;
    Endpoint endpoint;
    std::vector<std::pair<const char *, Cap>> fields;
};

const std::vector<Route> &routes()
{
    const std::pair<const char *, Cap> id{"session_id", Cap::id}, key{"mac_key", Cap::text},
        token{"phone_token", Cap::text};
    static const std::vector<Route> table = {
        {"vellora-pair-create", Endpoint::create, {id, {"mac_key_hash", Cap::text}, {"client_version", Cap::version}}},
        {"vellora-pair-poll", Endpoint::poll, {id, key}},
        {"vellora-pair-choose", Endpoint::choose,
         {id, key, {"name", Cap::text}, {"handle", Cap::text}, {"count", Cap::text}, {"first", Cap::text},
          {"last", Cap::text}}},
        {"vellora-pair-upload", Endpoint::upload, {id, key, {"transcript", Cap::transcript}, {"file_name", Cap::text}}},
        {"vellora-pair-claim", Endpoint::claim, {id}},
        {"vellora-pair-choice", Endpoint::choice, {id, token}},
        {"vellora-pair-ready", Endpoint::ready, {id, token}},
        {"vellora-pair-fetch", Endpoint::fetch, {id, token}},
        {"vellora-pair-received", Endpoint::received, {id, token}},
        {"vellora-pair-abort", Endpoint::abort, {id, token}},
    };
    return table;
}

const Route *routeFor(std::string_view name)
{
    const auto &table = routes();
    const auto it = std::find_if(table.begin(), table.end(), [name](const Route &r) { return r.name == name; });
    return it == table.end() ? nullptr : &*it;
}

} // namespace

struct PairingRequests::Impl {
    PairingServiceOptions options;
    std::unique_ptr<SessionStore> store;

    std::int64_t nowMs() const { return serviceNowMs(options.clock); }

    std::optional<RequestBody> bodyFor(std::string_view endpoint)
    {
        std::optional<RequestBody> body = PairingRequests::plainBody(endpoint, options);
        if (body && routeFor(endpoint)->endpoint == Endpoint::upload) {
            // The importer sends the credentials before the transcript: a stranger's upload is
            // refused before it costs more than its first bytes.
            body->setGate({"session_id", "mac_key"}, [this](const RequestBody &read) -> std::optional<RequestBody::Refusal> {
                Reply refusal;
                try {
                    refusal = withCredential(read, "mac_key", [&](const std::string &id, const std::string &hash) {
                        return refusalFor(store->checkKey(id, hash, nowMs()), "mac_key");
                    });
                } catch (const StoreUnavailable &) {
                    refusal = unavailable();
                }
                if (refusal.status == 200)
                    return std::nullopt;
                return RequestBody::Refusal{refusal.status, refusal.body.value("error", ""), refusal.retryAfterSeconds};
            });
        }
        return body;
    }

    static Reply unavailable() { return refuse(503, "the service is busy, try again shortly", 5); }

    // The answer to a store's refusal; 200 for one that went through.
    static Reply refusalFor(Verdict verdict, const char *credentialKey)
    {
        switch (verdict) {
        case Verdict::done: return {};
        case Verdict::unknown: return refuse(404, "unknown pairing session");
        case Verdict::expired: return refuse(410, "pairing session expired");
        case Verdict::wrongCredential:
            return refuse(403, std::string("wrong ") + (credentialKey == std::string("mac_key") ? "session key" : "phone token"));
        case Verdict::aborted: return refuse(409, "pairing session was aborted");
        case Verdict::notClaimed: return refuse(409, "the phone has not claimed this pairing session yet");
        case Verdict::alreadyClaimed: return refuse(409, "pairing session already claimed");
        case Verdict::notReady: return refuse(409, "the phone is not ready for the transcript yet");
        case Verdict::alreadyReceived: return refuse(410, "the transcript was received already");
        case Verdict::nothingToConfirm: return refuse(409, "there is no transcript to confirm");
        case Verdict::exists: return refuse(409, "pairing session already exists");
        case Verdict::full: return unavailable();
        }
        return refuse(500, "internal error");
    }

    // Runs `then` with the session id and the hash of the credential in the body, once both are
    // there; `then` answers a Reply.
    template <typename Then>
    Reply withCredential(const RequestBody &body, const char *credentialKey, Then &&then)
    {
        const std::string id = canonicalSessionId(body.string("session_id"));
        if (id.empty())
            return missingField("session_id");
        const std::string *credential = body.string(credentialKey);
        if (!credential)
            return missingField(credentialKey);
        return then(id, PairingCrypto::sha256(*credential));
    }

    // The store's answer to one operation on the session the body names: `act` runs the
    // operation, `reply` words an accepted one.
    template <typename Act, typename Words>
    Reply withSession(const RequestBody &body, const char *credentialKey, Act &&act, Words &&reply)
    {
        return withCredential(body, credentialKey, [&](const std::string &id, const std::string &hash) {
            StoreAnswer answer = act(id, hash, nowMs());
            if (answer.verdict != Verdict::done)
                return refusalFor(answer.verdict, credentialKey);
            return reply(answer);
        });
    }

    // Importer side.

    Reply create(const RequestBody &body, const std::string &client)
    {
        const std::string id = canonicalSessionId(body.string("session_id"));
        if (id.empty())
            return missingField("session_id");
        const std::string *hashHex = body.string("mac_key_hash");
        const std::string keyHash = hashHex ? PairingCrypto::fromHex(*hashHex) : std::string();
        if (keyHash.size() != 32)
            return missingField("mac_key_hash");
        const std::string *version = body.string("client_version");
        if (!version)
            return missingField("client_version");
        if (!options.minClientVersion.empty() && versionBelow(*version, options.minClientVersion))
            return {200, json{{"status", "update_required"}, {"download_url", options.downloadUrl}}};
        if (const int wait = store->takeCreation(client, options.createBurst, options.createsPerSecond, nowMs()))
            return refuse(429, "too many pairing sessions from this address, try again shortly", wait);

        PairingSession session;
        session.id = id;
        session.keyHash = keyHash;
        session.clientVersion = *version;
        session.createdMs = session.touchedMs = nowMs();
        const Verdict verdict = store->create(session, std::int64_t(options.maxLiveSessions));
        if (verdict != Verdict::done)
            return refusalFor(verdict, "mac_key");
        return {200, json{{"status", "pending"}}};
    }

    Reply poll(const RequestBody &body)
    {
        return withSession(
            body, "mac_key", [&](auto &id, auto &hash, auto now) { return store->poll(id, hash, now); },
            [](const StoreAnswer &a) {
                const PairingSession &s = a.session;
                Reply reply{200, json{{"status", stateName(s.state)}}};
                if (s.uploadId && s.state != PairingSession::State::aborted)
                    reply.body["upload_id"] = *s.uploadId;
                return reply;
            });
    }

    Reply choose(const RequestBody &body)
    {
        json choice = json::object();
        for (const char *key : {"name", "handle"}) {
            const std::string *value = body.string(key);
            if (!value)
                return missingField(key);
            choice[key] = *value;
        }
        const std::int64_t count = countValue(body["count"]);
        if (count < 0)
            return missingField("count");
        choice["count"] = count;
        for (const char *key : {"first", "last"}) {
            const RequestBody::Value &value = body[key];
            if (value.kind != Kind::string && value.kind != Kind::null)
                return missingField(key);
            choice[key] = value.kind == Kind::string ? json(value.text) : json();
        }
        const std::string text = choice.dump();
        return withSession(
            body, "mac_key", [&](auto &id, auto &hash, auto now) { return store->choose(id, hash, text, now); },
            [](const StoreAnswer &) { return Reply{200, json{{"status", "chosen"}}}; });
    }

    Reply upload(RequestBody &body)
    {
        if (!body.string("transcript"))
            return missingField("transcript");
        const std::string *fileName = body.string("file_name");
        const std::string name = fileName ? *fileName : std::string();
        if (name.empty() || name == "." || name == ".." || name.find_first_of(std::string("/\\\0", 3)) != std::string::npos)
            return missingField("file_name");
        return withSession(
            body, "mac_key",
            [&](auto &id, auto &hash, auto now) {
                return store->upload(id, hash, StoredTranscript{body.take("transcript"), name}, now);
            },
            [](const StoreAnswer &) { return onDisk({200, json{{"status", "uploaded"}}}); });
    }

    // Phone side: the session id comes from the QR code; the token from the claim proves that
    // later requests come from the phone that claimed it.

    Reply claim(const RequestBody &body)
    {
        const std::string id = canonicalSessionId(body.string("session_id"));
        if (id.empty())
            return missingField("session_id");
        const std::string token = PairingCrypto::randomHex(32);
        const StoreAnswer answer = store->claim(id, PairingCrypto::sha256(token), nowMs());
        if (answer.verdict != Verdict::done)
            return refusalFor(answer.verdict, "phone_token");
        return onDisk({200, json{{"status", "claimed"}, {"phone_token", token}}});
    }

    Reply choice(const RequestBody &body)
    {
        return withSession(
            body, "phone_token", [&](auto &id, auto &hash, auto now) { return store->choice(id, hash, now); },
            [](const StoreAnswer &a) {
                return Reply{200, json{{"status", stateName(a.session.state)},
                                       {"choice", a.session.choice ? json::parse(*a.session.choice) : json()}}};
            });
    }

    Reply ready(const RequestBody &body)
    {
        const std::string uploadId = PairingCrypto::randomHex(16);
        return withSession(
            body, "phone_token", [&](auto &id, auto &hash, auto now) { return store->ready(id, hash, uploadId, now); },
            [&](const StoreAnswer &) { return Reply{200, json{{"status", "ready"}, {"upload_id", uploadId}}}; });
    }

    // The transcript stays until the phone confirms it: an answer lost on the way is fetched again.
    Reply fetch(const RequestBody &body)
    {
        return withSession(
            body, "phone_token", [&](auto &id, auto &hash, auto now) { return store->fetch(id, hash, now); },
            [](StoreAnswer &a) {
                if (!a.transcript)
                    return Reply{200, json{{"status", "waiting"}}};
                Reply reply;
                reply.transcript = std::move(a.transcript);
                return reply;
            });
    }

    // The phone has the transcript: the service keeps no conversation.
    Reply received(const RequestBody &body)
    {
        return withSession(
            body, "phone_token", [&](auto &id, auto &hash, auto now) { return store->received(id, hash, now); },
            [](const StoreAnswer &) { return Reply{200, json{{"status", "received"}}}; });
    }

    Reply abort(const RequestBody &body)
    {
        return withSession(
            body, "phone_token", [&](auto &id, auto &hash, auto now) { return store->abort(id, hash, now); },
            [](const StoreAnswer &) { return Reply{200, json{{"status", "aborted"}}}; });
    }

    Reply dispatch(Endpoint endpoint, RequestBody &body, const std::string &client)
    {
        switch (endpoint) {
        case Endpoint::create: return create(body, client);
        case Endpoint::poll: return poll(body);
        case Endpoint::choose: return choose(body);
        case Endpoint::upload: return upload(body);
        case Endpoint::claim: return claim(body);
        case Endpoint::choice: return choice(body);
        case Endpoint::ready: return ready(body);
        case Endpoint::fetch: return fetch(body);
        case Endpoint::received: return received(body);
        case Endpoint::abort: return abort(body);
        }
        return refuse(404, "unknown endpoint");
    }
};

PairingRequests::PairingRequests(const PairingServiceOptions &options)
    : PairingRequests(options, nullptr)
{
}

PairingRequests::PairingRequests(const PairingServiceOptions &options, std::unique_ptr<SessionStore> store)
    : d(std::make_unique<Impl>())
{
    d->options = options;
    d->store = std::move(store);
    if (!d->store) {
        SqliteSessionStore::Options sqlite;
        sqlite.idle = std::chrono::duration_cast<std::chrono::milliseconds>(options.idleTimeout);
        sqlite.nowMs = [impl = d.get()] { return impl->nowMs(); };
        sqlite.log = options.log;
        d->store = std::make_unique<SqliteSessionStore>(options.databasePath, std::move(sqlite));
    }
}

PairingRequests::~PairingRequests() = default;

std::optional<RequestBody> PairingRequests::plainBody(std::string_view endpoint, const PairingServiceOptions &options)
{
    const Route *route = routeFor(endpoint);
    if (!route)
        return std::nullopt;
    std::vector<Field> fields;
    for (const auto &[key, cap] : route->fields)
        fields.push_back({key, capBytes(cap, options)});
    return RequestBody(std::move(fields),
                       route->endpoint == Endpoint::upload ? options.maxBodyBytes : options.maxRequestBytes);
}

std::optional<RequestBody> PairingRequests::body(std::string_view endpoint)
{
    return d->bodyFor(endpoint);
}

PairingAnswer PairingRequests::answer(std::string_view endpoint, RequestBody &body, const std::string &client)
{
    const Route *route = routeFor(endpoint);
    Reply reply;
    if (!route) {
        reply = refuse(404, "unknown endpoint");
    } else if (body.finish() != RequestBody::Status::complete) {
        const RequestBody::Refusal refusal = body.refusal();
        reply = refuse(refusal.status, refusal.text, refusal.retryAfterSeconds);
    } else {
        try {
            reply = d->dispatch(route->endpoint, body, client);
        } catch (const StoreUnavailable &e) {
            if (d->options.log)
                d->options.log(utcStamp() + " session store unavailable: " + e.what());
            reply = Impl::unavailable();
        } catch (const std::exception &e) {
            if (d->options.log)
                d->options.log(utcStamp() + " internal error: " + e.what());
            reply = refuse(500, "internal error");
        }
    }
    if (reply.transcript) {
        // Quoted here, outside the store's lock: the text is most of the answer.
        const auto quoted = [](const std::string &s) { return boost::json::serialize(boost::json::string_view(s)); };
        std::string text = R"({"status":"uploaded","transcript":)" + quoted(reply.transcript->text) +
                           R"(,"file_name":)" + quoted(reply.transcript->fileName) + '}';
        return {reply.status, std::move(text)};
    }
    return {reply.status, reply.body.dump(-1, ' ', false, json::error_handler_t::replace), reply.retryAfterSeconds,
            reply.onDisk};
}

void PairingRequests::whenSynced(std::function<void(bool)> then)
{
    d->store->whenSynced(std::move(then));
}

PairingAnswer PairingRequests::answer(std::string_view endpoint, std::string_view bytes, const std::string &client)
{
    std::optional<RequestBody> body = d->bodyFor(endpoint);
    if (!body)
        body.emplace(std::vector<Field>{}, 0);
    body->feed(bytes);
    return answer(endpoint, *body, client);
}
