#include "RedisSessionStore.h"

#include "UtcStamp.h"

#include <hiredis/hiredis.h>
#include <openssl/evp.h>

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <regex>
#include <stdexcept>

namespace {

constexpr auto sweepEvery = std::chrono::seconds(1);
constexpr int sweepBatch = 256;
constexpr timeval connectTimeout{2, 0};
constexpr timeval commandTimeout{30, 0};  // a 64 MiB transcript each way, on a private network

// The keys every session script is given, and the helpers they share. A session's hash holds
// key_hash, client_version, state, phone_token_hash, choice, upload_id, file_name, fetched,
// created_ms and touched_ms; "vellora:live" holds each session's expiry time, by the service's
// clock; "vellora:rewrite-due" says that something was deleted since Redis last rewrote its files.
const char *const prelude = R"lua(
local s, t, live, due = KEYS[1], KEYS[2], KEYS[3], KEYS[4]
local now, idle = tonumber(ARGV[1]), tonumber(ARGV[2])
local function refused(credential, hash)
  local touched = redis.call('HGET', s, 'touched_ms')
  if not touched then return 'unknown' end
  if now - tonumber(touched) > idle then return 'expired' end
  if credential and redis.call('HGET', s, credential) ~= hash then return 'wrongCredential' end
  return nil
end
local function touch()
  redis.call('HSET', s, 'touched_ms', now)
  redis.call('PEXPIRE', s, idle)
  redis.call('PEXPIRE', t, idle)
  redis.call('ZADD', live, now + idle, s)
end
local function dropTranscript()
  redis.call('HDEL', s, 'file_name', 'fetched')
  if redis.call('DEL', t) == 1 then redis.call('SET', due, '1') end
end
local function state() return redis.call('HGET', s, 'state') end
local function answer(withTranscript)
  touch()
  local f = redis.call('HMGET', s, 'state', 'upload_id', 'choice', 'file_name')
  local has = redis.call('EXISTS', t)
  local text = ''
  if withTranscript and has == 1 then text = redis.call('GET', t) end
  return {'done', f[1], f[2] or '', f[3] or '', has, text, f[4] or ''}
end
)lua";

// The body of each script, after the prelude; ARGV[3] and on are its own.
const char *const bodies[] = {
    // create: key hash, client version, live sessions allowed
    R"lua(
if redis.call('ZCOUNT', live, '(' .. now, '+inf') >= tonumber(ARGV[5]) then return {'full'} end
if redis.call('EXISTS', s) == 1 then return {'exists'} end
redis.call('HSET', s, 'key_hash', ARGV[3], 'client_version', ARGV[4], 'state', 'pending', 'created_ms', now)
touch()
return {'done'}
)lua",
    // claim: token hash
    R"lua(
local why = refused(nil) if why then return {why} end
if state() == 'aborted' then return {'aborted'} end
if state() == 'claimed' then return {'alreadyClaimed'} end
redis.call('HSET', s, 'state', 'claimed', 'phone_token_hash', ARGV[3])
return answer(false)
)lua",
    // checkKey: key hash; not activity
    R"lua(
return {refused('key_hash', ARGV[3]) or 'done'}
)lua",
    // poll: key hash
    R"lua(
local why = refused('key_hash', ARGV[3]) if why then return {why} end
return answer(false)
)lua",
    // choose: key hash, choice
    R"lua(
local why = refused('key_hash', ARGV[3]) if why then return {why} end
if state() == 'aborted' then return {'aborted'} end
if state() ~= 'claimed' then return {'notClaimed'} end
redis.call('HSET', s, 'choice', ARGV[4])
return answer(false)
)lua",
    // upload: key hash, transcript, file name
    R"lua(
local why = refused('key_hash', ARGV[3]) if why then return {why} end
if state() == 'aborted' then return {'aborted'} end
if redis.call('HEXISTS', s, 'upload_id') == 0 then return {'notReady'} end
redis.call('SET', t, ARGV[4])
redis.call('HSET', s, 'file_name', ARGV[5])
redis.call('HDEL', s, 'upload_id', 'fetched')
return answer(false)
)lua",
    // choice: token hash
    R"lua(
local why = refused('phone_token_hash', ARGV[3]) if why then return {why} end
if state() == 'aborted' then return {'aborted'} end
return answer(false)
)lua",
    // ready: token hash, upload id; a new readiness asks for a new transcript
    R"lua(
local why = refused('phone_token_hash', ARGV[3]) if why then return {why} end
if state() == 'aborted' then return {'aborted'} end
redis.call('HSET', s, 'upload_id', ARGV[4])
dropTranscript()
return answer(false)
)lua",
    // fetch: token hash; the transcript stays until it is received
    R"lua(
local why = refused('phone_token_hash', ARGV[3]) if why then return {why} end
if state() == 'aborted' then return {'aborted'} end
if redis.call('HEXISTS', s, 'fetched') == 1 then return {'alreadyReceived'} end
return answer(true)
)lua",
    // received: token hash
    R"lua(
local why = refused('phone_token_hash', ARGV[3]) if why then return {why} end
if state() == 'aborted' then return {'aborted'} end
if redis.call('EXISTS', t) == 1 then
  dropTranscript()
  redis.call('HSET', s, 'fetched', '1')
elseif redis.call('HEXISTS', s, 'fetched') == 0 then
  return {'nothingToConfirm'}
end
return answer(false)
)lua",
    // abort: token hash; the choice names a contact, so its deletion asks for a rewrite too
    R"lua(
local why = refused('phone_token_hash', ARGV[3]) if why then return {why} end
redis.call('HSET', s, 'state', 'aborted')
redis.call('HDEL', s, 'choice', 'upload_id')
dropTranscript()
redis.call('SET', due, '1')
return answer(false)
)lua",
};

// Sessions created per client address: a token bucket, kept as long as it is not full again.
// KEYS[1] the bucket; ARGV now, burst, per second. Answers the seconds to wait, 0 for a token taken.
const char *const creationScript = R"lua(
local now, burst, rate = tonumber(ARGV[1]), tonumber(ARGV[2]), tonumber(ARGV[3])
local b = redis.call('HMGET', KEYS[1], 'tokens', 'at')
local tokens = tonumber(b[1]) or burst
local at = tonumber(b[2]) or now
tokens = math.min(burst, tokens + math.max(0, now - at) / 1000 * rate)
local wait = 0
if tokens >= 1 then tokens = tokens - 1 else wait = math.max(1, math.ceil((1 - tokens) / rate)) end
redis.call('HSET', KEYS[1], 'tokens', tostring(tokens), 'at', now)
redis.call('PEXPIRE', KEYS[1], math.ceil(burst / rate * 1000) + 1000)
return wait
)lua";

// Expired sessions the TTL has not taken yet go now, so that the rewrite that follows cannot keep
// them. KEYS live, rewrite-due; ARGV now, batch. Answers how many went.
const char *const sweepScript = R"lua(
local ids = redis.call('ZRANGEBYSCORE', KEYS[1], '-inf', ARGV[1], 'LIMIT', 0, tonumber(ARGV[2]))
for _, s in ipairs(ids) do
  redis.call('DEL', s, s .. ':transcript')
  redis.call('ZREM', KEYS[1], s)
end
if #ids > 0 then redis.call('SET', KEYS[2], '1') end
return #ids
)lua";

// 1 when this node is to ask Redis for a rewrite now: one is due, and none was asked for, by
// any node, within the last ARGV[1] ms. KEYS rewrite-due, rewrite-lock.
const char *const rewriteDueScript = R"lua(
if redis.call('EXISTS', KEYS[1]) == 0 then return 0 end
if not redis.call('SET', KEYS[2], '1', 'NX', 'PX', ARGV[1]) then return 0 end
redis.call('DEL', KEYS[1])
return 1
)lua";

const char *const liveKey = "vellora:live";
const char *const rewriteDueKey = "vellora:rewrite-due";
const char *const rewriteLockKey = "vellora:rewrite-lock";

std::string scriptText(RedisSessionStore::Script script)
{
    using S = RedisSessionStore::Script;
    switch (script) {
    case S::creation: return creationScript;
    case S::sweep: return sweepScript;
    case S::rewriteDue: return rewriteDueScript;
    default: return std::string(prelude) + bodies[int(script)];
    }
}

std::string sha1Hex(const std::string &text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha1(), nullptr);
    std::string hex;
    char byte[3];
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(byte, sizeof byte, "%02x", digest[i]);
        hex += byte;
    }
    return hex;
}

Verdict verdictNamed(const std::string &name)
{
    static const std::pair<const char *, Verdict> names[] = {
        {"done", Verdict::done}, {"unknown", Verdict::unknown}, {"expired", Verdict::expired},
        {"wrongCredential", Verdict::wrongCredential}, {"aborted", Verdict::aborted},
        {"notClaimed", Verdict::notClaimed}, {"alreadyClaimed", Verdict::alreadyClaimed},
        {"notReady", Verdict::notReady}, {"alreadyReceived", Verdict::alreadyReceived},
        {"nothingToConfirm", Verdict::nothingToConfirm}, {"exists", Verdict::exists}, {"full", Verdict::full}};
    for (const auto &[text, verdict] : names)
        if (name == text)
            return verdict;
    throw std::runtime_error("session store: unexpected answer from Redis: " + name);
}

std::string sessionKey(const std::string &id)
{
    return "vellora:{" + id + "}";
}

} // namespace

RedisAddress parseRedisUrl(const std::string &url)
{
    static const std::regex form(R"(redis://([A-Za-z0-9.\-]+|\[[0-9A-Fa-f:]+\]):([0-9]{1,5})(?:/([0-9]{1,3}))?)");
    std::smatch m;
    if (!std::regex_match(url, m, form) || std::stoi(m[2]) > 65535)
        throw std::invalid_argument("a Redis address is redis://HOST:PORT or redis://HOST:PORT/DB, not " + url);
    RedisAddress address;
    address.host = m[1];
    if (address.host.front() == '[')
        address.host = address.host.substr(1, address.host.size() - 2);
    address.port = std::stoi(m[2]);
    address.db = m[3].matched ? std::stoi(m[3]) : 0;
    return address;
}

struct RedisSessionStore::Reply {
    std::unique_ptr<redisReply, void (*)(void *)> reply{nullptr, freeReplyObject};
    const redisReply *operator->() const { return reply.get(); }
    std::string text(std::size_t element) const
    {
        const redisReply *e = element < reply->elements ? reply->element[element] : nullptr;
        return e && e->type == REDIS_REPLY_STRING ? std::string(e->str, e->len) : std::string();
    }
    long long integer(std::size_t element) const
    {
        const redisReply *e = element < reply->elements ? reply->element[element] : nullptr;
        return e && e->type == REDIS_REPLY_INTEGER ? e->integer : 0;
    }
};

struct RedisSessionStore::Connection {
    redisContext *context = nullptr;
    ~Connection() { redisFree(context); }

    // False once Redis has closed it (a restart, a timeout): nothing may wait to be read on an
    // idle connection. A command is never sent on a closed one, so none is sent twice.
    bool open() const
    {
        char byte;
        const ssize_t n = ::recv(context->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }

    // A command's reply; throws StoreUnavailable when the connection fails.
    Reply command(const std::vector<std::string> &words)
    {
        std::vector<const char *> argv;
        std::vector<std::size_t> lengths;
        for (const std::string &w : words) {
            argv.push_back(w.data());
            lengths.push_back(w.size());
        }
        Reply r;
        r.reply.reset(static_cast<redisReply *>(redisCommandArgv(context, int(argv.size()), argv.data(), lengths.data())));
        if (!r.reply)
            throw StoreUnavailable(std::string("Redis: ") + (context->err ? context->errstr : "no answer"));
        return r;
    }
    // The same, with an error reply thrown as one too.
    Reply checked(const std::vector<std::string> &words)
    {
        Reply r = command(words);
        if (r->type == REDIS_REPLY_ERROR)
            throw StoreUnavailable("Redis: " + std::string(r->str, r->len));
        return r;
    }
};

RedisSessionStore::RedisSessionStore(Options options) : m_options(std::move(options))
{
    for (int s = 0; s < int(Script::count); ++s)
        m_shas.push_back(sha1Hex(scriptText(Script(s))));
    m_timer = std::thread([this] { timerLoop(); });
}

RedisSessionStore::~RedisSessionStore()
{
    {
        std::lock_guard lock(m_timerMutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_timer.join();
}

std::unique_ptr<RedisSessionStore::Connection> RedisSessionStore::connect()
{
    auto c = std::make_unique<Connection>();
    c->context = redisConnectWithTimeout(m_options.address.host.c_str(), m_options.address.port, connectTimeout);
    if (!c->context || c->context->err)
        throw StoreUnavailable(std::string("Redis: cannot connect: ") + (c->context ? c->context->errstr : "out of memory"));
    redisSetTimeout(c->context, commandTimeout);
    if (!m_options.password.empty())
        c->checked({"AUTH", m_options.password});
    if (m_options.address.db != 0)
        c->checked({"SELECT", std::to_string(m_options.address.db)});
    for (int s = 0; s < int(Script::count); ++s)
        c->checked({"SCRIPT", "LOAD", scriptText(Script(s))});
    return c;
}

RedisSessionStore::Reply RedisSessionStore::run(Script script, std::vector<std::string> keys, std::vector<std::string> args)
{
    std::unique_ptr<Connection> c;
    {
        std::lock_guard lock(m_poolMutex);
        while (!c && !m_idle.empty()) {
            c = std::move(m_idle.back());
            m_idle.pop_back();
            if (!c->open())
                c.reset();
        }
    }
    if (!c)
        c = connect();
    // One connection lost says the others went with it (Redis restarted, the network failed):
    // they are made again rather than each failing a request of its own.
    struct DropIdleOnFailure {
        RedisSessionStore *store;
        bool failed = true;
        ~DropIdleOnFailure()
        {
            if (failed) {
                std::lock_guard lock(store->m_poolMutex);
                store->m_idle.clear();
            }
        }
    } drop{this};
    std::vector<std::string> words{"EVALSHA", m_shas[int(script)], std::to_string(keys.size())};
    for (std::string &k : keys)
        words.push_back(std::move(k));
    for (std::string &a : args)
        words.push_back(std::move(a));
    // A failed connection is dropped here: the next request makes a new one. The script may
    // have run, so it is not run again on another: the client asks again, as for any 503.
    Reply r = c->command(words);
    if (r->type == REDIS_REPLY_ERROR && std::string(r->str, r->len).starts_with("NOSCRIPT")) {
        c->checked({"SCRIPT", "LOAD", scriptText(script)});
        r = c->command(words);
    }
    drop.failed = false;
    if (r->type == REDIS_REPLY_ERROR)
        throw StoreUnavailable("Redis: " + std::string(r->str, r->len));
    std::lock_guard lock(m_poolMutex);
    m_idle.push_back(std::move(c));
    return r;
}

StoreAnswer RedisSessionStore::session(Script script, const std::string &id, std::int64_t nowMs,
                                       std::vector<std::string> args)
{
    const std::string key = sessionKey(id);
    args.insert(args.begin(), {std::to_string(nowMs), std::to_string(m_options.idle.count())});
    const Reply r = run(script, {key, key + ":transcript", liveKey, rewriteDueKey}, std::move(args));
    if (r->type != REDIS_REPLY_ARRAY || r->elements == 0)
        throw std::runtime_error("session store: unexpected answer from Redis");
    StoreAnswer answer;
    answer.verdict = verdictNamed(r.text(0));
    if (answer.verdict != Verdict::done || r->elements < 7)
        return answer;
    PairingSession &s = answer.session;
    s.id = id;
    s.state = stateFromName(r.text(1));
    if (const std::string uploadId = r.text(2); !uploadId.empty())
        s.uploadId = uploadId;
    if (const std::string choice = r.text(3); !choice.empty())
        s.choice = choice;
    s.hasTranscript = r.integer(4) == 1;
    s.touchedMs = nowMs;
    if (script == Script::fetch && s.hasTranscript)
        answer.transcript = StoredTranscript{r.text(5), r.text(6)};
    return answer;
}

Verdict RedisSessionStore::create(const PairingSession &session, std::int64_t maxLive)
{
    return this->session(Script::create, session.id, session.createdMs,
                         {session.keyHash, session.clientVersion, std::to_string(maxLive)})
        .verdict;
}

StoreAnswer RedisSessionStore::claim(const std::string &id, const std::string &tokenHash, std::int64_t nowMs)
{
    return session(Script::claim, id, nowMs, {tokenHash});
}

Verdict RedisSessionStore::checkKey(const std::string &id, const std::string &keyHash, std::int64_t nowMs)
{
    return session(Script::checkKey, id, nowMs, {keyHash}).verdict;
}

StoreAnswer RedisSessionStore::poll(const std::string &id, const std::string &keyHash, std::int64_t nowMs)
{
    return session(Script::poll, id, nowMs, {keyHash});
}

StoreAnswer RedisSessionStore::choose(const std::string &id, const std::string &keyHash, const std::string &choice,
                                      std::int64_t nowMs)
{
    return session(Script::choose, id, nowMs, {keyHash, choice});
}

StoreAnswer RedisSessionStore::upload(const std::string &id, const std::string &keyHash, StoredTranscript transcript,
                                      std::int64_t nowMs)
{
    return session(Script::upload, id, nowMs, {keyHash, std::move(transcript.text), std::move(transcript.fileName)});
}

StoreAnswer RedisSessionStore::choice(const std::string &id, const std::string &tokenHash, std::int64_t nowMs)
{
    return session(Script::choice, id, nowMs, {tokenHash});
}

StoreAnswer RedisSessionStore::ready(const std::string &id, const std::string &tokenHash, const std::string &uploadId,
                                     std::int64_t nowMs)
{
    return session(Script::ready, id, nowMs, {tokenHash, uploadId});
}

StoreAnswer RedisSessionStore::fetch(const std::string &id, const std::string &tokenHash, std::int64_t nowMs)
{
    return session(Script::fetch, id, nowMs, {tokenHash});
}

StoreAnswer RedisSessionStore::received(const std::string &id, const std::string &tokenHash, std::int64_t nowMs)
{
    return session(Script::received, id, nowMs, {tokenHash});
}

StoreAnswer RedisSessionStore::abort(const std::string &id, const std::string &tokenHash, std::int64_t nowMs)
{
    return session(Script::abort, id, nowMs, {tokenHash});
}

int RedisSessionStore::takeCreation(const std::string &client, double burst, double perSecond, std::int64_t nowMs)
{
    const Reply r = run(Script::creation, {"vellora:creations:{" + client + "}"},
                        {std::to_string(nowMs), std::to_string(burst), std::to_string(perSecond)});
    return r->type == REDIS_REPLY_INTEGER ? int(r->integer) : 0;
}

// Every sweepEvery: expired sessions go, and after a deletion Redis is asked, at a bounded rate
// shared by every node, to rewrite its append-only file, which drops the deleted values with the
// files that held them.
void RedisSessionStore::timerLoop()
{
    std::unique_lock lock(m_timerMutex);
    bool failing = false;
    while (!m_stopping) {
        m_wake.wait_for(lock, sweepEvery);
        if (m_stopping)
            break;
        lock.unlock();
        try {
            const auto now = m_options.nowMs ? m_options.nowMs() : std::int64_t(0);
            while (run(Script::sweep, {liveKey, rewriteDueKey}, {std::to_string(now), std::to_string(sweepBatch)})->integer ==
                   sweepBatch) {
            }
            if (run(Script::rewriteDue, {rewriteDueKey, rewriteLockKey}, {std::to_string(m_options.rewriteEvery.count())})
                    ->integer == 1) {
                std::unique_ptr<Connection> c = connect();
                const Reply r = c->command({"BGREWRITEAOF"});
                // One under way started before the deletion: ask again on the next round.
                if (r->type == REDIS_REPLY_ERROR)
                    c->checked({"SET", rewriteDueKey, "1"});
            }
            if (failing && m_options.log)
                m_options.log(utcStamp() + " session store timer: Redis answers again");
            failing = false;
        } catch (const std::exception &e) {
            // Once, not every second of an outage.
            if (!failing && m_options.log)
                m_options.log(utcStamp() + " session store timer: " + e.what());
            failing = true;
        }
        lock.lock();
    }
}
