#include "PairingRequests.h"

#include "JsonFields.h"
#include "JsonText.h"
#include "PairingCrypto.h"
#include "SessionStore.h"
#include "UtcStamp.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <stdexcept>
#include <thread>

using json = nlohmann::json;
using Kind = JsonFields::Kind;

constexpr auto kBackfillEvery = std::chrono::milliseconds(100);
constexpr int kBackfillPasses = 6;
constexpr int kCaughtUpFrames = 64;  // new pages since the last pass: few enough to copy with writes held
constexpr auto kScrubDelay = std::chrono::seconds(1);

namespace {

struct Reply {
    Reply(int s = 200, json b = json::object()) : status(s), body(std::move(b)) {}
    int status;
    json body;
    std::optional<StoredTranscript> transcript;  // when set, the answer is this, handed over
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
std::int64_t countValue(const JsonFields::Value &value)
{
    if (value.kind != Kind::Number || value.text.empty())
        return -1;
    const char *begin = value.text.data();
    const char *end = begin + value.text.size();
    if (value.text.find_first_of(".eE") == std::string::npos) {
        std::int64_t n = -1;
        const auto [at, error] = std::from_chars(begin, end, n);
        return error == std::errc() && at == end && n >= 0 ? n : -1;
    }
    double n = -1;
    const auto [at, error] = std::from_chars(begin, end, n);
    if (error != std::errc() || at != end || !(n >= 0 && n <= 9007199254740992.0) || std::floor(n) != n)
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

enum class Endpoint { Create, Poll, Choose, Upload, Claim, Choice, Ready, Fetch, Abort };

struct Route {
    std::string_view name;
    Endpoint endpoint;
    std::vector<std::string> fields;
};

const std::vector<Route> &routes()
{
    static const std::vector<Route> table = {
        {"vellora-pair-create", Endpoint::Create, {"session_id", "mac_key_hash", "client_version"}},
        {"vellora-pair-poll", Endpoint::Poll, {"session_id", "mac_key"}},
        {"vellora-pair-choose", Endpoint::Choose,
         {"session_id", "mac_key", "name", "handle", "count", "first", "last"}},
        {"vellora-pair-upload", Endpoint::Upload, {"session_id", "mac_key", "transcript", "file_name"}},
        {"vellora-pair-claim", Endpoint::Claim, {"session_id"}},
        {"vellora-pair-choice", Endpoint::Choice, {"session_id", "phone_token"}},
        {"vellora-pair-ready", Endpoint::Ready, {"session_id", "phone_token"}},
        {"vellora-pair-fetch", Endpoint::Fetch, {"session_id", "phone_token"}},
        {"vellora-pair-abort", Endpoint::Abort, {"session_id", "phone_token"}},
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
    std::mutex storeMutex;  // one connection: every store use, check through write, holds it
    std::condition_variable wake;
    bool stopping = false;
    std::thread scrubber;

    // Every kBackfillEvery, commits are copied back into the database beside the requests, again
    // while each pass finds much that is new. Then, with writes held for the little left, the -wal
    // file is emptied when a deletion is kScrubDelay old, or else copied back whole, so that the
    // next write starts it over rather than growing it.
    void scrubLoop()
    {
        std::unique_lock lock(storeMutex);
        auto lastScrub = std::chrono::steady_clock::now();
        while (!stopping) {
            wake.wait_for(lock, kBackfillEvery);
            if (stopping)
                break;
            lock.unlock();
            guarded([&] {
                int frames = store->backfill();
                for (int pass = 1; pass < kBackfillPasses; ++pass) {
                    const int before = frames;
                    frames = store->backfill();
                    if (frames - before < kCaughtUpFrames)
                        break;
                }
            });
            lock.lock();
            const auto now = std::chrono::steady_clock::now();
            guarded([&] {
                if (store->scrubDue() && now - lastScrub >= kScrubDelay) {
                    store->scrub();
                    lastScrub = now;
                } else {
                    store->backfill();
                }
            });
        }
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

    // The refusal for a session that is missing or has expired; none for a live one.
    std::optional<Reply> whyNotLive(const std::optional<PairingSession> &session, std::int64_t now) const
    {
        if (!session)
            return refuse(404, "unknown pairing session");
        if (now - session->touchedMs > idleMs())
            return refuse(410, "pairing session expired");
        return std::nullopt;
    }

    // Runs `act` on the live session `id`, in one transaction. Only an accepted request counts as
    // activity and is written back; a refusal leaves the store as it was.
    template <typename Act>
    Reply withLiveSession(const std::string &id, Act &&act)
    {
        std::lock_guard lock(storeMutex);
        SessionStore::Transaction write(*store);
        const std::int64_t now = nowMs();
        auto session = store->find(id);
        if (const auto refusal = whyNotLive(session, now))
            return *refusal;
        Reply reply = act(*session);
        if (reply.status >= 200 && reply.status < 300) {
            session->touchedMs = now;
            store->update(*session);
            write.commit();
        }
        return reply;
    }

    // The same, once the credential in the body checks out.
    template <typename Act>
    Reply withSession(const JsonFields &body, const char *credentialKey, std::string PairingSession::*hash,
                      Act &&act)
    {
        const std::string id = canonicalSessionId(body.string("session_id"));
        if (id.empty())
            return missingField("session_id");
        const std::string *credential = body.string(credentialKey);
        if (!credential)
            return missingField(credentialKey);
        const std::string presented = PairingCrypto::sha256(*credential);
        return withLiveSession(id, [&](PairingSession &session) {
            if (!PairingCrypto::equalConstantTime(presented, session.*hash))
                return refuse(403, std::string("wrong ") + (hash == &PairingSession::keyHash ? "session key" : "phone token"));
            return act(session);
        });
    }

    template <typename Act>
    Reply withImporterSession(const JsonFields &body, Act &&act)
    {
        return withSession(body, "mac_key", &PairingSession::keyHash, std::forward<Act>(act));
    }

    template <typename Act>
    Reply withPhoneSession(const JsonFields &body, Act &&act)
    {
        return withSession(body, "phone_token", &PairingSession::phoneTokenHash, std::forward<Act>(act));
    }

    // Importer side.

    Reply create(const JsonFields &body)
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

        PairingSession session;
        session.id = id;
        session.keyHash = keyHash;
        session.clientVersion = *version;
        std::lock_guard lock(storeMutex);
        SessionStore::Transaction write(*store);
        session.createdMs = session.touchedMs = nowMs();
        store->removeIdleSince(session.createdMs - idleMs());
        const bool created = store->insert(session);
        write.commit();
        if (!created)
            return refuse(409, "pairing session already exists");
        return {200, json{{"status", "pending"}}};
    }

    Reply poll(const JsonFields &body)
    {
        return withImporterSession(body, [](PairingSession &s) {
            Reply reply{200, json{{"status", stateName(s.state)}}};
            if (s.uploadId && s.state != PairingSession::State::Aborted)
                reply.body["upload_id"] = *s.uploadId;
            return reply;
        });
    }

    Reply choose(const JsonFields &body)
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
            const JsonFields::Value &value = body[key];
            if (value.kind != Kind::String && value.kind != Kind::Null)
                return missingField(key);
            choice[key] = value.kind == Kind::String ? json(value.text) : json();
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

    Reply upload(JsonFields &body)
    {
        if (!body.string("transcript"))
            return missingField("transcript");
        const std::string *fileName = body.string("file_name");
        const std::string name = fileName ? *fileName : std::string();
        if (name.empty() || name == "." || name == ".." || name.find_first_of(std::string("/\\\0", 3)) != std::string::npos)
            return missingField("file_name");
        return withImporterSession(body, [&](PairingSession &s) {
            if (s.state == PairingSession::State::Aborted)
                return refuse(409, "pairing session was aborted");
            if (!s.uploadId)
                return refuse(409, "the phone is not ready for the transcript yet");
            store->setTranscript(s.id, StoredTranscript{body.take("transcript"), name});
            s.uploadId.reset();
            return Reply{200, json{{"status", "uploaded"}}};
        });
    }

    // Phone side: the session id comes from the QR code; the token from the claim proves that
    // later requests come from the phone that claimed it.

    Reply claim(const JsonFields &body)
    {
        const std::string id = canonicalSessionId(body.string("session_id"));
        if (id.empty())
            return missingField("session_id");
        return withLiveSession(id, [](PairingSession &session) {
            if (session.state == PairingSession::State::Aborted)
                return refuse(409, "pairing session was aborted");
            if (session.state == PairingSession::State::Claimed)
                return refuse(409, "pairing session already claimed");
            const std::string token = PairingCrypto::randomHex(32);
            session.state = PairingSession::State::Claimed;
            session.phoneTokenHash = PairingCrypto::sha256(token);
            return Reply{200, json{{"status", "claimed"}, {"phone_token", token}}};
        });
    }

    Reply choice(const JsonFields &body)
    {
        return withPhoneSession(body, [](PairingSession &s) {
            if (s.state == PairingSession::State::Aborted)
                return refuse(409, "pairing session was aborted");
            return Reply{200, json{{"status", stateName(s.state)},
                                   {"choice", s.choice ? json::parse(*s.choice) : json()}}};
        });
    }

    Reply ready(const JsonFields &body)
    {
        return withPhoneSession(body, [&](PairingSession &s) {
            if (s.state == PairingSession::State::Aborted)
                return refuse(409, "pairing session was aborted");
            // A new readiness asks for a new transcript: the old one must not be fetched for it.
            s.uploadId = PairingCrypto::randomHex(16);
            if (s.hasTranscript || s.transcriptFetched)
                store->setTranscript(s.id, std::nullopt);
            return Reply{200, json{{"status", "ready"}, {"upload_id", *s.uploadId}}};
        });
    }

    Reply fetch(const JsonFields &body)
    {
        return withPhoneSession(body, [&](PairingSession &s) {
            if (s.state == PairingSession::State::Aborted)
                return refuse(409, "pairing session was aborted");
            if (s.transcriptFetched)
                return refuse(410, "the transcript was fetched already");
            auto transcript = s.hasTranscript ? store->transcript(s.id) : std::nullopt;
            if (!transcript)
                return Reply{200, json{{"status", "waiting"}}};
            // Handed over once, then gone from the store: the service keeps no conversation.
            store->markFetched(s.id);
            Reply reply;
            reply.transcript = std::move(transcript);
            return reply;
        });
    }

    Reply abort(const JsonFields &body)
    {
        return withPhoneSession(body, [&](PairingSession &s) {
            // Nothing of the conversation outlives an abandoned session.
            s.state = PairingSession::State::Aborted;
            s.choice.reset();
            s.uploadId.reset();
            if (s.hasTranscript || s.transcriptFetched)
                store->setTranscript(s.id, std::nullopt);
            return Reply{200, json{{"status", "aborted"}}};
        });
    }

    Reply dispatch(Endpoint endpoint, JsonFields &body)
    {
        switch (endpoint) {
        case Endpoint::Create: return create(body);
        case Endpoint::Poll: return poll(body);
        case Endpoint::Choose: return choose(body);
        case Endpoint::Upload: return upload(body);
        case Endpoint::Claim: return claim(body);
        case Endpoint::Choice: return choice(body);
        case Endpoint::Ready: return ready(body);
        case Endpoint::Fetch: return fetch(body);
        case Endpoint::Abort: return abort(body);
        }
        return refuse(404, "unknown endpoint");
    }
};

PairingRequests::PairingRequests(const PairingServiceOptions &options) : d(std::make_unique<Impl>())
{
    d->options = options;
    d->store = std::make_unique<SessionStore>(options.databasePath);
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

std::optional<std::vector<std::string>> PairingRequests::fields(std::string_view endpoint)
{
    const Route *route = routeFor(endpoint);
    return route ? std::optional(route->fields) : std::nullopt;
}

PairingAnswer PairingRequests::answer(std::string_view endpoint, JsonFields &body)
{
    const Route *route = routeFor(endpoint);
    Reply reply;
    if (!route) {
        reply = refuse(404, "unknown endpoint");
    } else if (body.finish() != JsonFields::Status::Complete) {
        reply = refuse(400, JsonFields::refusal(body.status()));
    } else {
        try {
            reply = d->dispatch(route->endpoint, body);
        } catch (const std::exception &e) {
            if (d->options.log)
                d->options.log(utcStamp() + " internal error: " + e.what());
            reply = refuse(500, "internal error");
        }
    }
    if (reply.transcript) {
        // Quoted here, outside the store's lock: the text is most of the answer.
        std::string text = R"({"status":"uploaded","transcript":)";
        JsonText::appendQuoted(text, reply.transcript->text);
        text += R"(,"file_name":)";
        JsonText::appendQuoted(text, reply.transcript->fileName);
        text += '}';
        return {reply.status, std::move(text)};
    }
    return {reply.status, reply.body.dump(-1, ' ', false, json::error_handler_t::replace)};
}

PairingAnswer PairingRequests::answer(std::string_view endpoint, std::string_view bytes)
{
    JsonFields body(fields(endpoint).value_or(std::vector<std::string>{}));
    body.feed(bytes);
    return answer(endpoint, body);
}
