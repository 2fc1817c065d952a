// libFuzzer target: the service's answer to any request body on any endpoint, from raw bytes.
// Byte 0 picks the endpoint, byte 1 how far a session has got and where the body is split
// (bodies arrive in pieces). Each input gets a session of its own, brought to that stage;
// "@KEY@", "@TOKEN@" and "@ID@" in the body become its credentials, so bodies get past the checks. Every answer must be a JSON object, a refusal must
// carry an "error" text, nothing may end in an internal error, the body reader must agree
// with nlohmann's parser on what is a JSON object and on the fields it keeps, and an accepted
// transcript must come back from two fetches byte for byte, and from none once received.
#include "PairingCrypto.h"
#include "PairingRequests.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <cstdlib>
#include <string>

using json = nlohmann::json;

namespace {

const char *const endpoints[] = {"vellora-pair-create", "vellora-pair-poll",     "vellora-pair-choose",
                                  "vellora-pair-upload", "vellora-pair-claim",    "vellora-pair-choice",
                                  "vellora-pair-ready",  "vellora-pair-fetch",    "vellora-pair-abort",
                                  "vellora-pair-received"};
const std::string macKey(64, 'a');

void require(bool condition)
{
    if (!condition)
        std::abort();
}

json post(PairingRequests &requests, const char *endpoint, const json &body)
{
    const PairingAnswer answer = requests.answer(endpoint, body.dump());
    require(answer.status == 200);
    return json::parse(answer.body);
}

std::string sessionId(std::uint64_t n)
{
    char text[37];
    std::snprintf(text, sizeof text, "3F2504E0-4F89-11D3-9A0C-%012llX", static_cast<unsigned long long>(n));
    return text;
}

struct Session {
    std::string id;
    std::string token = "none";
};

// Fresh sessions, brought in batches to each stage: doing it per input would multiply the work
// (and the coverage bookkeeping) of every run. The store is renewed now and then.
class Sessions {
public:
    std::pair<PairingRequests *, Session> take(int stage)
    {
        if (m_ready[stage].empty()) {
            if (!m_requests || ++m_batches % 64 == 0) {
                PairingServiceOptions options;
                options.createBurst = 1e9;  // all sessions come from one client here
                m_requests = std::make_unique<PairingRequests>(options);
                for (auto &pool : m_ready)
                    pool.clear();
            }
            for (int i = 0; i < 256; ++i)
                m_ready[stage].push_back(make(stage));
        }
        Session session = std::move(m_ready[stage].back());
        m_ready[stage].pop_back();
        return {m_requests.get(), std::move(session)};
    }

private:
    Session make(int stage)
    {
        PairingRequests &requests = *m_requests;
        Session s{sessionId(m_next++)};
        const json importer{{"session_id", s.id}, {"mac_key", macKey}};
        post(requests, "vellora-pair-create",
             {{"session_id", s.id}, {"mac_key_hash", PairingCrypto::toHex(PairingCrypto::sha256(macKey))},
              {"client_version", "0.1.0"}});
        if (stage >= 1)
            s.token = post(requests, "vellora-pair-claim", {{"session_id", s.id}})["phone_token"];
        const json phone{{"session_id", s.id}, {"phone_token", s.token}};
        if (stage >= 2) {
            json choice = importer;
            choice.update({{"name", "Mum"}, {"handle", "+15550100"}, {"count", 2}, {"first", nullptr},
                           {"last", nullptr}});
            post(requests, "vellora-pair-choose", choice);
            post(requests, "vellora-pair-ready", phone);
        }
        if (stage >= 3) {
            json upload = importer;
            upload.update({{"transcript", "Mum: \"hi\" \\ \u0001\t\r\n caf\u00e9 \U0001F35C"}, {"file_name", "chat.txt"}});
            post(requests, "vellora-pair-upload", upload);
        }
        if (stage >= 4)
            post(requests, "vellora-pair-abort", phone);
        return s;
    }

    std::unique_ptr<PairingRequests> m_requests;
    std::vector<Session> m_ready[5];
    std::uint64_t m_next = 0;
    std::uint64_t m_batches = 0;
};

void replaceAll(std::string &text, const std::string &from, const std::string &to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// The body reader against nlohmann on the same bytes.
void compareWithNlohmann(const std::string &body, const RequestBody &fields, const std::vector<std::string> &keys)
{
    const std::size_t first = body.find_first_not_of(" \t\r\n");
    const bool object = first != std::string::npos && body[first] == '{';
    const bool accepted = json::accept(body);
    switch (fields.status()) {
    case RequestBody::Status::complete:
        break;
    case RequestBody::Status::notObject:
        // nlohmann takes a NUL byte for the end of the text and skips a byte order mark.
        require(!accepted || !object || body.find('\0') != std::string::npos);
        return;
    default:
        return;  // too deep, too large, a field over its cap, refused by the credential check
    }
    json parsed;
    try {
        parsed = json::parse(body);  // at most a few levels deep: the reader accepted it
    } catch (const json::out_of_range &) {
        return;  // a number beyond a double: nlohmann refuses it, the grammar allows it
    }
    require(accepted && parsed.is_object());
    for (const std::string &key : keys) {
        const RequestBody::Value &value = fields[key];
        const auto it = parsed.find(key);
        if (value.kind == RequestBody::Kind::missing)
            continue;  // absent, or a key this endpoint does not read
        require(it != parsed.end());
        switch (value.kind) {
        case RequestBody::Kind::string: require(it->is_string() && it->get<std::string>() == value.text); break;
        case RequestBody::Kind::number: require(it->is_number()); break;
        case RequestBody::Kind::boolean: require(it->is_boolean() && (*it == true) == (value.number == 1)); break;
        case RequestBody::Kind::null: require(it->is_null()); break;
        case RequestBody::Kind::container: require(it->is_structured()); break;
        case RequestBody::Kind::missing: break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const char *endpoint = endpoints[data[0] % std::size(endpoints)];
    const int stage = data[1] % 5;  // created, claimed, chosen and ready, uploaded, aborted
    std::string body(reinterpret_cast<const char *>(data) + 2, size - 2);

    static Sessions sessions;
    auto [store, session] = sessions.take(stage);
    PairingRequests &requests = *store;
    replaceAll(body, "@ID@", session.id);
    replaceAll(body, "@KEY@", macKey);
    replaceAll(body, "@TOKEN@", session.token);

    RequestBody fields = requests.body(endpoint).value();
    const std::size_t split = body.empty() ? 0 : (data[1] / 5u) % (body.size() + 1);
    fields.feed(std::string_view(body).substr(0, split));
    fields.feed(std::string_view(body).substr(split));
    fields.finish();
    std::vector<std::string> keys;
    for (const char *key : {"session_id", "mac_key", "mac_key_hash", "client_version", "phone_token", "name", "handle",
                            "count", "first", "last", "transcript", "file_name"})
        keys.push_back(key);
    compareWithNlohmann(body, fields, keys);

    const std::string *transcript = fields.string("transcript");
    const std::string sent = transcript ? *transcript : std::string();
    const PairingAnswer answer = requests.answer(endpoint, fields);
    require(answer.status != 500);
    const json reply = json::parse(answer.body);
    require(reply.is_object());
    if (answer.status >= 400)
        require(reply.contains("error") && reply["error"].is_string());
    else
        require(answer.status >= 200 && answer.status < 300);
    if (answer.status == 200 && std::string_view(endpoint) == "vellora-pair-upload") {
        const json phone{{"session_id", session.id}, {"phone_token", session.token}};
        for (int fetch = 0; fetch < 2; ++fetch)
            require(post(requests, "vellora-pair-fetch", phone).value("transcript", "") == sent);
        post(requests, "vellora-pair-received", phone);
        require(requests.answer("vellora-pair-fetch", phone.dump()).status == 410);
    }
    return 0;
}
