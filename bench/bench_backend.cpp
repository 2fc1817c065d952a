// The reference pairing service under load: many sessions at once through the whole protocol
// (importer and phone side) on 127.0.0.1, each moving a 100 KB transcript up and back down.
// Floor: the same requests, with bodies of the same size, to a server that answers without work.
#include "PairingCrypto.h"
#include "PairingService.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kTranscriptBytes = 100 * 1024;
constexpr auto kTimeLimit = std::chrono::seconds(300);

struct Session {
    std::string id;
    std::string key;
    std::string token = "floor";
    std::string uploadId;
    std::string transcript;
    bool failed = false;
};

struct Result {
    double seconds = 0;
    double p99Ms = 0;
    std::size_t requests = 0;
    int intact = 0;
    int failed = 0;
};

std::string uuid()
{
    std::string hex = PairingCrypto::randomHex(16);
    std::transform(hex.begin(), hex.end(), hex.begin(), [](char c) { return char(std::toupper(c)); });
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20);
}

std::string transcriptFor(int index)
{
    std::string text = "[2024-03-05 09:07] Mum: session " + std::to_string(index) + "\n";
    const std::string line = "[2024-03-05 09:12] Me: Yes! See you at 1 \xE2\x80\x94 caf\xC3\xA9 \xF0\x9F\x8D\x9C\n";
    while (text.size() + line.size() <= kTranscriptBytes)
        text += line;
    text.resize(kTranscriptBytes, '.');
    return text;
}

// Drives every session through the protocol, step by step across all of a thread's sessions,
// so all of them are open at once. `check` reads the answers; the floor run does not.
Result drive(const std::string &base, int sessions, int threads, bool check)
{
    std::vector<std::vector<double>> latencies(threads);
    std::atomic<int> intact{0};
    std::atomic<int> failed{0};
    const auto started = Clock::now();
    const auto deadline = started + kTimeLimit;

    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            httplib::Client importer(base);
            httplib::Client phone(base);  // the phone is another device: its own connection
            for (httplib::Client *client : {&importer, &phone}) {
                client->set_read_timeout(std::chrono::seconds(60));
                client->set_write_timeout(std::chrono::seconds(60));
            }
            std::vector<Session> mine;
            for (int i = t; i < sessions; i += threads)
                mine.push_back({uuid(), PairingCrypto::randomHex(32), "floor", {}, transcriptFor(i)});

            const auto call = [&](httplib::Client &client, Session &s, const char *endpoint,
                                  const json &body) -> json {
                const auto before = Clock::now();
                const auto result = client.Post(std::string("/") + endpoint, body.dump(), "application/json");
                latencies[t].push_back(std::chrono::duration<double, std::milli>(Clock::now() - before).count());
                if (!result || result->status != 200) {
                    s.failed = true;
                    return json::object();
                }
                json answer = check ? json::parse(result->body, nullptr, false) : json::object();
                return answer.is_object() ? answer : json::object();
            };
            const auto expect = [&](Session &s, bool ok) {
                if (check && !ok)
                    s.failed = true;
            };

            for (int step = 0; step < 10; ++step) {
                for (Session &s : mine) {
                    if (s.failed || Clock::now() > deadline) {
                        s.failed = true;
                        continue;
                    }
                    const json importerAuth{{"session_id", s.id}, {"mac_key", s.key}};
                    const json phoneAuth{{"session_id", s.id}, {"phone_token", s.token}};
                    json body;
                    switch (step) {
                    case 0:
                        body = {{"session_id", s.id},
                                {"mac_key_hash", PairingCrypto::toHex(PairingCrypto::sha256(s.key))},
                                {"client_version", "0.1.0"}};
                        expect(s, call(importer, s, "vellora-pair-create", body).value("status", "") == "pending");
                        break;
                    case 1:
                        expect(s, call(importer, s, "vellora-pair-poll", importerAuth).value("status", "") == "pending");
                        break;
                    case 2: {
                        const json answer = call(phone, s, "vellora-pair-claim", json{{"session_id", s.id}});
                        if (check)
                            s.token = answer.value("phone_token", "");
                        expect(s, !s.token.empty());
                        break;
                    }
                    case 3:
                        expect(s, call(importer, s, "vellora-pair-poll", importerAuth).value("status", "") == "claimed");
                        break;
                    case 4:
                        body = importerAuth;
                        body.update(json{{"name", "Mum"}, {"handle", "+15550100"}, {"count", 1200},
                                         {"first", "2024-03-05T09:07:41"}, {"last", nullptr}});
                        call(importer, s, "vellora-pair-choose", body);
                        break;
                    case 5: {
                        const json answer = call(phone, s, "vellora-pair-choice", phoneAuth);
                        expect(s, answer.contains("choice") && answer["choice"].value("count", 0) == 1200);
                        break;
                    }
                    case 6:
                        s.uploadId = call(phone, s, "vellora-pair-ready", phoneAuth).value("upload_id", "");
                        expect(s, !s.uploadId.empty());
                        break;
                    case 7:
                        expect(s, call(importer, s, "vellora-pair-poll", importerAuth).value("upload_id", "") ==
                                      s.uploadId);
                        break;
                    case 8:
                        body = importerAuth;
                        body.update(json{{"transcript", s.transcript}, {"file_name", "chat.txt"}});
                        call(importer, s, "vellora-pair-upload", body);
                        break;
                    case 9: {
                        const json answer = call(phone, s, "vellora-pair-fetch", phoneAuth);
                        if (check && !s.failed && answer.value("transcript", "") == s.transcript &&
                            answer.value("file_name", "") == "chat.txt")
                            ++intact;
                        break;
                    }
                    }
                }
            }
            failed += int(std::count_if(mine.begin(), mine.end(), [](const Session &s) { return s.failed; }));
        });
    }
    for (auto &thread : pool)
        thread.join();

    Result result;
    result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::vector<double> all;
    for (const auto &l : latencies)
        all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    result.requests = all.size();
    result.p99Ms = all.empty() ? 0 : all[std::min(all.size() - 1, all.size() * 99 / 100)];
    result.intact = intact;
    result.failed = failed;
    return result;
}

// As the service does: the library's listen backlog of five would drop a burst of connections.
class FloorServer : public httplib::Server {
public:
    void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }
};

int intArgument(int argc, char **argv, const char *name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == name)
            return std::max(1, std::atoi(argv[i + 1]));
    return fallback;
}

} // namespace

int main(int argc, char **argv)
{
    const int sessions = intArgument(argc, argv, "--sessions", 1000);
    const int clients = intArgument(argc, argv, "--clients", 32);
    const int serverThreads = 2 * clients + 8;  // every client thread keeps two connections alive

    // Floor: a server that answers at once, the fetch with a body of the transcript's size.
    FloorServer floor;
    floor.new_task_queue = [serverThreads] { return new httplib::ThreadPool(std::size_t(serverThreads)); };
    const std::string fetched = json{{"status", "uploaded"}, {"transcript", transcriptFor(0)}, {"file_name", "chat.txt"}}.dump();
    floor.Post(R"(/vellora-pair-.*)", [&fetched](const httplib::Request &req, httplib::Response &res) {
        res.set_content(req.path == "/vellora-pair-fetch" ? fetched : std::string("{}"), "application/json");
    });
    const int floorPort = floor.bind_to_any_port("127.0.0.1");
    floor.widenBacklog();
    std::thread floorThread([&] { floor.listen_after_bind(); });
    const Result base = drive("http://127.0.0.1:" + std::to_string(floorPort), sessions, clients, false);
    floor.stop();
    floorThread.join();

    QTemporaryDir dir;
    PairingServiceOptions options;
    options.databasePath = (dir.path() + QStringLiteral("/sessions.sqlite")).toStdString();
    options.threads = serverThreads;
    PairingService service(options);
    service.start();
    const Result run = drive(service.baseUrl(), sessions, clients, true);
    service.stop();

    std::printf("pairing service: %d sessions open at once, %d client threads, %zu KB transcripts, SQLite file\n",
                sessions, clients, kTranscriptBytes / 1024);
    std::printf("  %-28s %9.0f /s    floor (server without work) %9.0f /s\n", "sessions per second",
                sessions / run.seconds, sessions / base.seconds);
    std::printf("  %-28s %9.2f ms    floor (server without work) %9.2f ms   (%zu requests)\n",
                "p99 request latency", run.p99Ms, base.p99Ms, run.requests);
    std::printf("  %-28s %6d / %d   failed sessions %d\n", "transcripts fetched intact", run.intact, sessions,
                run.failed);
    return run.intact == sessions ? 0 : 1;
}
