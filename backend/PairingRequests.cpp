#include "PairingRequests.h"

#include "PairingCrypto.h"
#include "SessionStore.h"
#include "UtcStamp.h"

#include <boost/json/serialize.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <stdexcept>
#include <thread>
#include <unordered_map>

using json = nlohmann::json;
using Kind = RequestBody::Kind;
using Field = RequestBody::Field;

constexpr auto backfillEvery = std::chrono::milliseconds(100);
constexpr int backfillPasses = 6;
constexpr int caughtUpFrames = 64;  // new pages since the last pass: few enough to copy with writes held
constexpr auto scrubDelay = std::chrono::seconds(1);
// Expired sessions go in batches this large, so that no batch holds the store for long.
constexpr int expiryBatch = 64;
constexpr std::size_t sessionIdBytes = 64;  // a UUID is 36; room for a client's spaces is not needed

namespace {

struct Reply {
    Reply(int s = 200, json b = json::object(), int retry = 0) : status(s), body(std::move(b)), retryAfterSeconds(retry) {}
    int status;
    json body;
    int retryAfterSeconds;
    std::optional<StoredTranscript> transcript;  // when set, the answer is this, handed over
};

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

// Sessions created per client address: a burst, then a steady rate.
class CreateBuckets {
public:
    // Seconds until the next token, or 0 when one was taken.
    int take(const std::string &client, double burst, double perSecond)
    {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(m_mutex);
        if (m_buckets.size() > 10000)
            forgetFull(now, burst, perSecond);
        auto [it, fresh] = m_buckets.try_emplace(client, Bucket{burst, now});
        Bucket &b = it->second;
        b.tokens = std::min(burst, b.tokens + std::chrono::duration<double>(now - b.at).count() * perSecond);
        b.at = now;
        if (b.tokens >= 1) {
            b.tokens -= 1;
            return 0;
        }
        return std::max(1, int(std::ceil((1 - b.tokens) / perSecond)));
    }

private:
    struct Bucket {
        double tokens;
        std::chrono::steady_clock::time_point at;
    };
    // A bucket that has filled up again says no more than a new one.
    void forgetFull(std::chrono::steady_clock::time_point now, double burst, double perSecond)
    {
        std::erase_if(m_buckets, [&](const auto &entry) {
            return entry.second.tokens + std::chrono::duration<double>(now - entry.second.at).count() * perSecond >= burst;
        });
    }
    std::mutex m_mutex;
    std::unordered_map<std::string, Bucket> m_buckets;
};

} // namespace

struct PairingRequests::Impl {
    PairingServiceOptions options;
    std::unique_ptr<SessionStore> store;
    std::mutex storeMutex;  // one connection: every store use, check through write, holds it
    std::condition_variable wake;
    bool stopping = false;
    std::thread scrubber;
    std::int64_t storedSessions = 0;  // live and expired but not yet removed; under storeMutex
    CreateBuckets createBuckets;

    // Every backfillEvery: expired sessions are removed, in batches; commits are copied back into
    // the database beside the requests, again while each pass finds much that is new. Then, with
    // writes held for the little left, the -wal file is emptied when a deletion is scrubDelay old,
    // or else copied back whole, so that the next write starts it over rather than growing it.
    void scrubLoop()
    {
        std::unique_lock lock(storeMutex);
        auto lastScrub = std::chrono::steady_clock::now();
        while (!stopping) {
            wake.wait_for(lock, backfillEvery);
            if (stopping)
                break;
            lock.unlock();
            guarded([&] {
                while (removeExpired() == expiryBatch && !stopping) {
                }
                int frames = store->backfill();
                for (int pass = 1; pass < backfillPasses; ++pass) {
                    const int before = frames;
                    frames = store->backfill();
                    if (frames - before < caughtUpFrames)
                        break;
                }
            });
            lock.lock();
            const auto now = std::chrono::steady_clock::now();
            guarded([&] {
                if (store->scrubDue() && now - lastScrub >= scrubDelay) {
                    store->scrub();
                    lastScrub = now;
                } else {
                    store->backfill();
                }
            });
        }
    }

    // One batch of expired sessions, with their transcripts; returns how many went.
    int removeExpired()
    {
        std::lock_guard lock(storeMutex);
        SessionStore::Transaction write(*store);
        const int removed = store->removeIdleSince(nowMs() - idleMs(), expiryBatch);
        write.commit();
        storedSessions -= removed;
        return removed;
    }

    void scrubIfDue()
    {
        guarded([&] {
            if (store->scrubDue())
                store->scrub();
        });
    }

    template <typename F>
    void guarded(F &&f)
    {
        try {
            f();
        } catch (const std::exception &e) {
            if (options.log)
                options.log(utcStamp() + " internal error: " + e.what());
        }
    }

    std::int64_t nowMs() const
    {
        const auto now = options.clock ? options.clock() : std::chrono::system_clock::now();
        return std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    }

    std::int64_t idleMs() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(options.idleTimeout).count();
    }

    std::optional<RequestBody> bodyFor(std::string_view endpoint)
    {
        std::optional<RequestBody> body = PairingRequests::plainBody(endpoint, options);
        if (body && routeFor(endpoint)->endpoint == Endpoint::upload) {
            // The importer sends the credentials before the transcript: a stranger's upload is
            // refused before it costs more than its first bytes.
            body->setGate({"session_id", "mac_key"}, [this](const RequestBody &read) -> std::optional<RequestBody::Refusal> {
                std::lock_guard lock(storeMutex);
                std::optional<PairingSession> session;
                if (const auto refusal = credentialRefusal(read, "mac_key", &PairingSession::keyHash, session))
                    return RequestBody::Refusal{refusal->status, refusal->body.value("error", ""), 0};
                return std::nullopt;
            });
        }
        return body;
    }

    // The refusal for a session that is missing or has expired; none for a live one.
    std::optional<Reply> whyNotLive(const std::optional<PairingSession> &session, std::int64_t now) const
    {
        if (!session)
            return refuse(404, "unknown pairing session");
        if (now - session->touchedMs > idleMs())
            return refuse(410, "pairing session expired");
        return std::nullopt;
    }

    // The refusal for a body whose session is not live or whose credential does not check out;
    // none, with the session read into `session`, when all is well. Holds storeMutex.
    std::optional<Reply> credentialRefusal(const RequestBody &body, const char *credentialKey,
                                           std::string PairingSession::*hash, std::optional<PairingSession> &session)
    {
        const std::string id = canonicalSessionId(body.string("session_id"));
        if (id.empty())
            return missingField("session_id");
        const std::string *credential = body.string(credentialKey);
        if (!credential)
            return missingField(credentialKey);
        session = store->find(id);
        if (auto refusal = whyNotLive(session, nowMs()))
            return refusal;
        if (!PairingCrypto::equalConstantTime(PairingCrypto::sha256(*credential), (*session).*hash))
            return refuse(403, std::string("wrong ") + (hash == &PairingSession::keyHash ? "session key" : "phone token"));
        return std::nullopt;
    }

    // Runs `act` on `session`, in the transaction `write`. Only an accepted request counts as
    // activity and is written back; a refusal leaves the store as it was.
    template <typename Step>
    Reply act(SessionStore::Transaction &write, PairingSession &session, Step &&step)
    {
        Reply reply = step(session);
        if (reply.status >= 200 && reply.status < 300) {
            session.touchedMs = nowMs();
            store->update(session);
            write.commit();
        }
        return reply;
    }

    // The same, once the credential in the body checks out.
    template <typename Act>
    Reply withSession(const RequestBody &body, const char *credentialKey, std::string PairingSession::*hash,
                      Act &&then)
    {
        std::lock_guard lock(storeMutex);
        SessionStore::Transaction write(*store);
        std::optional<PairingSession> session;
        if (auto refusal = credentialRefusal(body, credentialKey, hash, session))
            return *refusal;
        return act(write, *session, std::forward<Act>(then));
    }

    template <typename Act>
    Reply withImporterSession(const RequestBody &body, Act &&act)
    {
        return withSession(body, "mac_key", &PairingSession::keyHash, std::forward<Act>(act));
    }

    // An accepted claim or upload is answered only once it is on the disk: the power may go the
    // moment after. The sync runs outside the store's lock, so that requests answered together
    // share one.
    Reply durable(Reply reply)
    {
        if (reply.status == 200)
            store->backfill();
        return reply;
    }

    template <typename Act>
    Reply withPhoneSession(const RequestBody &body, Act &&act)
    {
        return withSession(body, "phone_token", &PairingSession::phoneTokenHash, std::forward<Act>(act));
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
        if (const int wait = createBuckets.take(client, options.createBurst, options.createsPerSecond))
            return refuse(429, "too many pairing sessions from this address, try again shortly", wait);

        PairingSession session;
        session.id = id;
        session.keyHash = keyHash;
        session.clientVersion = *version;
        std::lock_guard lock(storeMutex);
        if (storedSessions >= std::int64_t(options.maxLiveSessions))
            return refuse(503, "the service is busy, try again shortly", 5);
        SessionStore::Transaction write(*store);
        session.createdMs = session.touchedMs = nowMs();
        const bool created = store->insert(session);
        write.commit();
        if (!created)
            return refuse(409, "pairing session already exists");
        ++storedSessions;
        return {200, json{{"status", "pending"}}};
    }

    Reply poll(const RequestBody &body)
    {
        return withImporterSession(body, [](PairingSession &s) {
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
        return withImporterSession(body, [&](PairingSession &s) {
            if (s.state == PairingSession::State::aborted)
                return refuse(409, "pairing session was aborted");
            if (s.state != PairingSession::State::claimed)
                return refuse(409, "the phone has not claimed this pairing session yet");
            s.choice = choice.dump();
            return Reply{200, json{{"status", "chosen"}}};
        });
    }

    Reply upload(RequestBody &body)
    {
        if (!body.string("transcript"))
            return missingField("transcript");
        const std::string *fileName = body.string("file_name");
        const std::string name = fileName ? *fileName : std::string();
        if (name.empty() || name == "." || name == ".." || name.find_first_of(std::string("/\\\0", 3)) != std::string::npos)
            return missingField("file_name");
        return durable(withImporterSession(body, [&](PairingSession &s) {
            if (s.state == PairingSession::State::aborted)
                return refuse(409, "pairing session was aborted");
            if (!s.uploadId)
                return refuse(409, "the phone is not ready for the transcript yet");
            store->setTranscript(s.id, StoredTranscript{body.take("transcript"), name});
            s.uploadId.reset();
            return Reply{200, json{{"status", "uploaded"}}};
        }));
    }

    // Phone side: the session id comes from the QR code; the token from the claim proves that
    // later requests come from the phone that claimed it.

    Reply claim(const RequestBody &body)
    {
        const std::string id = canonicalSessionId(body.string("session_id"));
        if (id.empty())
            return missingField("session_id");
        return durable(claimLive(id));
    }

    Reply claimLive(const std::string &id)
    {
        std::lock_guard lock(storeMutex);
        SessionStore::Transaction write(*store);
        auto session = store->find(id);
        if (auto refusal = whyNotLive(session, nowMs()))
            return *refusal;
        return act(write, *session, [](PairingSession &s) {
            if (s.state == PairingSession::State::aborted)
                return refuse(409, "pairing session was aborted");
            if (s.state == PairingSession::State::claimed)
                return refuse(409, "pairing session already claimed");
            const std::string token = PairingCrypto::randomHex(32);
            s.state = PairingSession::State::claimed;
            s.phoneTokenHash = PairingCrypto::sha256(token);
            return Reply{200, json{{"status", "claimed"}, {"phone_token", token}}};
        });
    }

    Reply choice(const RequestBody &body)
    {
        return withPhoneSession(body, [](PairingSession &s) {
            if (s.state == PairingSession::State::aborted)
                return refuse(409, "pairing session was aborted");
            return Reply{200, json{{"status", stateName(s.state)},
                                   {"choice", s.choice ? json::parse(*s.choice) : json()}}};
        });
    }

    Reply ready(const RequestBody &body)
    {
        return withPhoneSession(body, [&](PairingSession &s) {
            if (s.state == PairingSession::State::aborted)
                return refuse(409, "pairing session was aborted");
            // A new readiness asks for a new transcript: the old one must not be fetched for it.
            s.uploadId = PairingCrypto::randomHex(16);
            if (s.hasTranscript || s.transcriptFetched)
                store->setTranscript(s.id, std::nullopt);
            return Reply{200, json{{"status", "ready"}, {"upload_id", *s.uploadId}}};
        });
    }

    // The transcript stays until the phone confirms it: an answer lost on the way is fetched again.
    Reply fetch(const RequestBody &body)
    {
        return withPhoneSession(body, [&](PairingSession &s) {
            if (s.state == PairingSession::State::aborted)
                return refuse(409, "pairing session was aborted");
            if (s.transcriptFetched)
                return refuse(410, "the transcript was received already");
            auto transcript = s.hasTranscript ? store->transcript(s.id) : std::nullopt;
            if (!transcript)
                return Reply{200, json{{"status", "waiting"}}};
            Reply reply;
            reply.transcript = std::move(transcript);
            return reply;
        });
    }

    // The phone has the transcript: the service keeps no conversation.
    Reply received(const RequestBody &body)
    {
        return withPhoneSession(body, [&](PairingSession &s) {
            if (s.state == PairingSession::State::aborted)
                return refuse(409, "pairing session was aborted");
            if (!s.hasTranscript && !s.transcriptFetched)
                return refuse(409, "there is no transcript to confirm");
            if (s.hasTranscript)
                store->markFetched(s.id);
            return Reply{200, json{{"status", "received"}}};
        });
    }

    Reply abort(const RequestBody &body)
    {
        return withPhoneSession(body, [&](PairingSession &s) {
            // Nothing of the conversation outlives an abandoned session.
            s.state = PairingSession::State::aborted;
            s.choice.reset();
            s.uploadId.reset();
            if (s.hasTranscript || s.transcriptFetched)
                store->setTranscript(s.id, std::nullopt);
            return Reply{200, json{{"status", "aborted"}}};
        });
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

PairingRequests::PairingRequests(const PairingServiceOptions &options) : d(std::make_unique<Impl>())
{
    d->options = options;
    d->store = std::make_unique<SessionStore>(options.databasePath);
    d->storedSessions = d->store->count();
    d->scrubber = std::thread([impl = d.get()] { impl->scrubLoop(); });
}

PairingRequests::~PairingRequests()
{
    {
        std::lock_guard lock(d->storeMutex);
        d->stopping = true;
    }
    d->wake.notify_all();
    d->scrubber.join();
    d->scrubIfDue();
}

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
    return {reply.status, reply.body.dump(-1, ' ', false, json::error_handler_t::replace), reply.retryAfterSeconds};
}

PairingAnswer PairingRequests::answer(std::string_view endpoint, std::string_view bytes, const std::string &client)
{
    std::optional<RequestBody> body = d->bodyFor(endpoint);
    if (!body)
        body.emplace(std::vector<Field>{}, 0);
    body->feed(bytes);
    return answer(endpoint, *body, client);
}
