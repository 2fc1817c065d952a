#include "BalancedNodes.h"
#include "PairingHttp.h"
#include "PairingService.h"
#include "RedisServer.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QtTest>

#include <atomic>
#include <thread>

using json = nlohmann::json;

namespace {

Answer postTo(const std::string &base, const std::string &endpoint, const json &body)
{
    httplib::Client client(base);
    return postPairing(client, endpoint, body.dump());
}

// Two nodes on one Redis server, as behind a load balancer: any request may reach either.
class Cluster {
public:
    explicit Cluster(std::chrono::seconds idle = std::chrono::minutes(10),
                     const std::function<void(PairingServiceOptions &)> &adjust = {}, const QByteArray &redisConfig = {})
        : redis(redisConfig)
    {
        PairingServiceOptions options;
        options.redisUrl = redis.url();
        options.idleTimeout = idle;
        if (adjust)
            adjust(options);
        for (auto &node : nodes) {
            node = std::make_unique<PairingService>(options);
            node->start();
        }
    }

    Answer post(int node, const std::string &endpoint, const json &body)
    {
        return postTo(nodes[node]->baseUrl(), endpoint, body);
    }
    Answer importer(int node, const std::string &endpoint, json body = json::object())
    {
        return post(node, endpoint, asImporter(body));
    }
    Answer create(int node, const std::string &id = sessionId) { return post(node, "create", createBody(id, macKey, "1.0")); }
    // The session created, claimed, asked for its transcript and given it; the phone's credentials.
    json uploaded(const std::string &transcript)
    {
        if (create(0).status != 200)
            return {};
        const json phone{{"session_id", sessionId}, {"phone_token", post(1, "claim", json{{"session_id", sessionId}}).body.value("phone_token", "")}};
        if (post(1, "ready", phone).status != 200 ||
            importer(0, "upload", {{"transcript", transcript}, {"file_name", "chat.txt"}}).status != 200)
            return {};
        return phone;
    }

    RedisServer redis;
    std::unique_ptr<PairingService> nodes[2];
};

std::string transcriptWith(const std::string &marker)
{
    std::string text = "Mum: Lunch? \xF0\x9F\x8D\x9C\r\nnul:" + std::string(1, '\0') + "\n";
    while (text.size() < 200000)
        text += marker + " " + std::to_string(text.size()) + "\n";
    return text;
}

} // namespace

class TestRedisStore : public QObject {
    Q_OBJECT

private slots:
    // 50 phones claim one session at once, half through each node: exactly one gets it.
    void racingClaims()
    {
        Cluster cluster;
        QCOMPARE(cluster.create(0).status, 200);
        std::atomic<int> claimed{0}, refused{0}, other{0};
        std::vector<std::thread> phones;
        for (int i = 0; i < 50; ++i)
            phones.emplace_back([&, i] {
                const Answer a = cluster.post(i % 2, "claim", json{{"session_id", sessionId}});
                if (a.status == 200)
                    ++claimed;
                else if (a.status == 409 && a.body.value("error", "") == "pairing session already claimed")
                    ++refused;
                else
                    ++other;
            });
        for (auto &phone : phones)
            phone.join();
        QCOMPARE(claimed.load(), 1);
        QCOMPARE(refused.load(), 49);
        QCOMPARE(other.load(), 0);
    }

    // The creations per address and the live sessions are counted in Redis, for both nodes.
    void limitsAcrossNodes()
    {
        Cluster cluster(std::chrono::minutes(10), [](PairingServiceOptions &o) {
            o.createBurst = 3;
            o.createsPerSecond = 0.01;
            o.maxLiveSessions = 4;
        });
        const auto id = [] { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString(); };
        QCOMPARE(cluster.create(0, id()).status, 200);
        QCOMPARE(cluster.create(1, id()).status, 200);
        QCOMPARE(cluster.create(0, id()).status, 200);
        QCOMPARE(cluster.create(1, id()).status, 429);  // its answer: the single node's test, on Redis too
        // Another address, as a trusted proxy would name it, is not counted with this one; the
        // live sessions are.
        cluster.redis.command({QStringLiteral("DEL"), QStringLiteral("vellora:creations:{127.0.0.1}")});
        QCOMPARE(cluster.create(1, id()).status, 200);
        QCOMPARE(cluster.create(0, id()).status, 503);
    }

    // With no request, the TTL and the timer remove an idle session with its transcript, and the
    // data folder holds no byte of it within a minute.
    void expiryWithoutRequests()
    {
        Cluster cluster(std::chrono::seconds(1));
        const std::string marker = "Expiring lunch plans 5c1e";
        QVERIFY(!cluster.uploaded(transcriptWith(marker)).is_null());
        QVERIFY(cluster.redis.dataFiles().contains(QByteArray::fromStdString(marker)));
        QTRY_COMPARE_WITH_TIMEOUT(cluster.redis.command({QStringLiteral("KEYS"), QStringLiteral("vellora:{*")}), QByteArray(), 3000);
        QTRY_COMPARE(cluster.redis.command({QStringLiteral("ZCARD"), QStringLiteral("vellora:live")}), QByteArray("0"));
        QTRY_VERIFY_WITH_TIMEOUT(!cluster.redis.dataFiles().contains(QByteArray::fromStdString(marker)), 60000);
        QCOMPARE(cluster.importer(1, "poll").status, 404);
    }

    // Redis gone: 503 with "error", never a wrong answer; back: the service goes on.
    void redisDown()
    {
        Cluster cluster;
        QCOMPARE(cluster.create(0).status, 200);
        QCOMPARE(cluster.importer(1, "poll").status, 200);
        cluster.redis.stop();
        for (const int node : {0, 1}) {
            const Answer a = cluster.importer(node, "poll");
            QCOMPARE(a.status, 503);
            QCOMPARE(a.body.value("error", ""), std::string("the service is busy, try again shortly"));
            QCOMPARE(cluster.post(node, "claim", json{{"session_id", sessionId}}).status, 503);
        }
        cluster.redis.start();
        QCOMPARE(cluster.importer(0, "poll").body, (json{{"status", "pending"}}));
        QCOMPARE(cluster.importer(1, "poll").body, (json{{"status", "pending"}}));
    }

    // A Redis with a password: the nodes that know it are served, the others get 503.
    void password()
    {
        for (const char *password : {"s3cret pass", "wrong"}) {
            Cluster cluster(std::chrono::minutes(10), [&](PairingServiceOptions &o) { o.redisPassword = password; },
                            "requirepass \"s3cret pass\"\n");
            QCOMPARE(cluster.create(0).status, std::string(password) == "wrong" ? 503 : 200);
        }
    }

    // An answered claim and upload are in Redis's files: kill -9 and a restart lose neither.
    void answeredUploadSurvivesKill()
    {
        Cluster cluster;
        const std::string transcript = transcriptWith("Kept through a crash 91d0");
        const json phone = cluster.uploaded(transcript);
        QVERIFY(!phone.is_null());
        cluster.redis.kill();
        cluster.redis.start();
        const json fetched = cluster.post(1, "fetch", phone).body;
        QCOMPARE(fetched.value("file_name", ""), std::string("chat.txt"));
        QVERIFY(fetched.value("transcript", "") == transcript);
    }

    // deploy/ as a newcomer starts it: nginx, round robin over two node processes, one Redis. A
    // whole pairing goes through, both nodes answer it, and the transcript arrives byte for byte.
    void pairingThroughNginx()
    {
        BalancedNodes deployment;
        const auto post = [&](const std::string &endpoint, const json &body) {
            return postTo(deployment.baseUrl(), endpoint, body);
        };
        const json importer{{"session_id", sessionId}, {"mac_key", macKey}};
        QCOMPARE(post("create", createBody(sessionId, macKey, "1.0")).status, 200);
        const json phone{{"session_id", sessionId}, {"phone_token", post("claim", json{{"session_id", sessionId}}).body.value("phone_token", "")}};
        for (int i = 0; i < 4; ++i)
            QCOMPARE(post("poll", importer).body, (json{{"status", "claimed"}}));
        QCOMPARE(post("ready", phone).status, 200);
        const std::string transcript = transcriptWith("Through the balancer 3e7b");
        json upload = importer;
        upload["transcript"] = transcript;
        upload["file_name"] = "chat.txt";
        QCOMPARE(post("upload", upload).status, 200);
        QVERIFY(post("fetch", phone).body.value("transcript", "") == transcript);
        QCOMPARE(post("received", phone).status, 200);
        for (const int node : {0, 1})
            QVERIFY2(deployment.nodeLog(node).count("POST /vellora-pair-") >= 3, deployment.nodeLog(node).constData());
    }
};

QTEST_GUILESS_MAIN(TestRedisStore)
#include "test_redis_store.moc"
