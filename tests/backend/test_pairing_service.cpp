#include "PairingCrypto.h"
#include "PairingService.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>

using json = nlohmann::json;

namespace {

const std::string kId = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";
const std::string kOtherId = "9A1B2C3D-0000-4000-8000-00000000BEEF";
const std::string kKey(64, 'a');
const std::string kOtherKey(64, 'b');
constexpr auto kIdle = std::chrono::minutes(10);

struct Answer {
    int status = 0;
    json body;
};

// A service on a SQLite file with a clock the test moves, spoken to by a plain HTTP client.
class Backend {
public:
    explicit Backend(std::size_t maxBody = std::size_t(1) << 20)
    {
        options.databasePath = (dir.path() + QStringLiteral("/sessions.sqlite")).toStdString();
        options.idleTimeout = kIdle;
        options.maxBodyBytes = maxBody;
        options.minClientVersion = "0.2.0";
        options.downloadUrl = "https://example.test/get";
        options.clock = [this] { return std::chrono::system_clock::time_point(std::chrono::milliseconds(nowMs.load())); };
        start();
    }

    void start()
    {
        service = std::make_unique<PairingService>(options);
        service->start();
        client = std::make_unique<httplib::Client>(service->baseUrl());
    }
    void restart()
    {
        client.reset();
        service->stop();
        start();
    }

    Answer post(const std::string &endpoint, const std::string &body)
    {
        const auto result = client->Post("/" + endpoint, body, "application/json");
        if (!result)
            return {};
        return {result->status, json::parse(result->body, nullptr, false)};
    }
    Answer post(const std::string &endpoint, const json &body) { return post(endpoint, body.dump()); }

    Answer create(const std::string &id, const std::string &key, const std::string &version = "0.2.0")
    {
        return post("vellora-pair-create", json{{"session_id", id},
                                                {"mac_key_hash", PairingCrypto::toHex(PairingCrypto::sha256(key))},
                                                {"client_version", version}});
    }
    Answer poll(const std::string &id = kId, const std::string &key = kKey)
    {
        return post("vellora-pair-poll", json{{"session_id", id}, {"mac_key", key}});
    }
    std::string claim(const std::string &id = kId)
    {
        return post("vellora-pair-claim", json{{"session_id", id}}).body.value("phone_token", "");
    }

    // Every stored row, read through a connection of its own: what "nothing changed" compares.
    QString dump() const
    {
        sqlite3 *db = nullptr;
        sqlite3_open_v2(options.databasePath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(db, "SELECT * FROM session ORDER BY id", -1, &stmt, nullptr);
        QString rows;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            for (int c = 0; c < sqlite3_column_count(stmt); ++c)
                rows += QString::fromUtf8(QByteArray(static_cast<const char *>(sqlite3_column_blob(stmt, c)),
                                                     sqlite3_column_bytes(stmt, c)).toHex()) + QLatin1Char('|');
            rows += QLatin1Char('\n');
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return rows;
    }

    QTemporaryDir dir;
    std::atomic<std::int64_t> nowMs{1'700'000'000'000};
    PairingServiceOptions options;
    std::unique_ptr<PairingService> service;
    std::unique_ptr<httplib::Client> client;
};

json choiceBody()
{
    return json{{"session_id", kId}, {"mac_key", kKey}, {"name", "Mum"}, {"handle", "+15550100"},
                {"count", 3},        {"first", "2024-03-05T09:07:41"}, {"last", nullptr}};
}

} // namespace

class TestPairingService : public QObject {
    Q_OBJECT

private slots:
    void refusals_data();
    void refusals();
    void versionGate_data();
    void versionGate();
    void pairingRun_data();
    void pairingRun();
    void idleExpiry();
    void abortForgetsConversation();
};

void TestPairingService::refusals_data()
{
    QTest::addColumn<QString>("endpoint");
    QTest::addColumn<QByteArray>("body");  // {ID}, {KEY}, {TOKEN} are filled in
    QTest::addColumn<int>("advanceSeconds");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");

    const QByteArray poll = R"({"session_id":"{ID}","mac_key":"{KEY}"})";
    QTest::newRow("wrong key") << "vellora-pair-poll" << QByteArray(R"({"session_id":"{ID}","mac_key":")")
                                   + QByteArray(64, 'b') + "\"}" << 0 << 403 << "wrong session key";
    QTest::newRow("key of another length") << "vellora-pair-poll" << QByteArray(R"({"session_id":"{ID}","mac_key":"a"})")
                                           << 0 << 403 << "wrong session key";
    QTest::newRow("unknown session") << "vellora-pair-poll"
                                     << QByteArray(R"({"session_id":"11111111-2222-4333-8444-555555555555","mac_key":"{KEY}"})")
                                     << 0 << 404 << "unknown pairing session";
    QTest::newRow("duplicate id") << "vellora-pair-create"
                                  << QByteArray(R"({"session_id":"{ID}","mac_key_hash":")") + QByteArray(64, 'c')
                                         + R"(","client_version":"1.0"})"
                                  << 0 << 409 << "pairing session already exists";
    QTest::newRow("duplicate id in lower case") << "vellora-pair-create"
                                  << QByteArray(R"({"session_id":"3f2504e0-4f89-11d3-9a0c-0305e82c3301","mac_key_hash":")")
                                         + QByteArray(64, 'c') + R"(","client_version":"1.0"})"
                                  << 0 << 409 << "pairing session already exists";
    QTest::newRow("not json") << "vellora-pair-poll" << QByteArray("{\"session_id\":") << 0 << 400
                              << "request body is not a JSON object";
    QTest::newRow("json array") << "vellora-pair-poll" << QByteArray("[1,2]") << 0 << 400
                                << "request body is not a JSON object";
    QTest::newRow("id not a uuid") << "vellora-pair-poll" << QByteArray(R"({"session_id":"chat.db","mac_key":"{KEY}"})")
                                   << 0 << 400 << "missing or invalid \"session_id\"";
    QTest::newRow("hash not hex") << "vellora-pair-create"
                                  << QByteArray(R"({"session_id":"{ID}","mac_key_hash":"xyz","client_version":"1.0"})")
                                  << 0 << 400 << "missing or invalid \"mac_key_hash\"";
    QTest::newRow("count as text") << "vellora-pair-choose"
                                   << QByteArray(R"({"session_id":"{ID}","mac_key":"{KEY}","name":"Mum","handle":"x",)"
                                                 R"("count":"3","first":null,"last":null})")
                                   << 0 << 400 << "missing or invalid \"count\"";
    for (const char *count : {"-1", "2.5", "1e30"})
        QTest::addRow("count %s", count) << "vellora-pair-choose"
                                         << QByteArray(R"({"session_id":"{ID}","mac_key":"{KEY}","name":"Mum",)"
                                                       R"("handle":"x","first":null,"last":null,"count":)") + count + "}"
                                         << 0 << 400 << "missing or invalid \"count\"";
    QTest::newRow("last missing") << "vellora-pair-choose"
                                  << QByteArray(R"({"session_id":"{ID}","mac_key":"{KEY}","name":"Mum","handle":"x",)"
                                                R"("count":3,"first":null})")
                                  << 0 << 400 << "missing or invalid \"last\"";
    QTest::newRow("upload before the phone is ready")
        << "vellora-pair-upload"
        << QByteArray(R"({"session_id":"{ID}","mac_key":"{KEY}","transcript":"hi","file_name":"chat.txt"})") << 0
        << 409 << "the phone is not ready for the transcript yet";
    QTest::newRow("file name with a path")
        << "vellora-pair-upload"
        << QByteArray(R"({"session_id":"{ID}","mac_key":"{KEY}","transcript":"hi","file_name":"../chat.txt"})") << 0
        << 400 << "missing or invalid \"file_name\"";
    QTest::newRow("body over the limit")
        << "vellora-pair-upload"
        << QByteArray(R"({"session_id":"{ID}","mac_key":"{KEY}","file_name":"chat.txt","transcript":")")
               + QByteArray(5000, 'x') + "\"}"
        << 0 << 413 << "request body too large";
    QTest::newRow("expired session") << "vellora-pair-poll" << poll << int(kIdle.count() * 60 + 1) << 410
                                     << "pairing session expired";
    QTest::newRow("phone token wrong") << "vellora-pair-fetch"
                                       << QByteArray(R"({"session_id":"{ID}","phone_token":"{KEY}"})") << 0 << 403
                                       << "wrong phone token";
    QTest::newRow("claimed twice") << "vellora-pair-claim" << QByteArray(R"({"session_id":"{ID}"})") << 0 << 409
                                   << "pairing session already claimed";
    QTest::newRow("choice before the claim")
        << "vellora-pair-choose"
        << QByteArray(R"({"session_id":")") + QByteArray::fromStdString(kOtherId)
               + R"(","mac_key":")" + QByteArray::fromStdString(kOtherKey)
               + R"(","name":"A","handle":"b","count":1,"first":null,"last":null})"
        << 0 << 409 << "the phone has not claimed this pairing session yet";
    QTest::newRow("unknown endpoint") << "vellora-pair-delete" << poll << 0 << 404 << "unknown endpoint";
}

void TestPairingService::refusals()
{
    QFETCH(QString, endpoint);
    QFETCH(QByteArray, body);
    QFETCH(int, advanceSeconds);
    QFETCH(int, status);
    QFETCH(QString, error);

    Backend backend(4096);
    QCOMPARE(backend.create(kId, kKey).status, 200);
    QCOMPARE(backend.create(kOtherId, kOtherKey).status, 200);
    const std::string token = backend.claim();
    QVERIFY(!token.empty());
    // Time moves on, so a refusal that counted as activity would show in the rows.
    backend.nowMs += std::int64_t(advanceSeconds) * 1000 + 1000;
    const QString before = backend.dump();
    QCOMPARE(before.count(QLatin1Char('\n')), 2);

    body.replace("{ID}", QByteArray::fromStdString(kId)).replace("{KEY}", QByteArray::fromStdString(kKey));
    const Answer answer = backend.post(endpoint.toStdString(), body.toStdString());
    QCOMPARE(answer.status, status);
    QVERIFY(answer.body.is_object());
    QCOMPARE(QString::fromStdString(answer.body.value("error", "")), error);
    QCOMPARE(backend.dump(), before);
}

void TestPairingService::versionGate_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("tooOld");
    QTest::newRow("older patch") << "0.1.9" << true;
    QTest::newRow("equal") << "0.2.0" << false;
    QTest::newRow("shorter but equal") << "0.2" << false;
    QTest::newRow("numeric, not textual") << "0.10.0" << false;
    QTest::newRow("pre-release suffix") << "0.2.0-beta" << false;
    QTest::newRow("not a version") << "abc" << true;
    QTest::newRow("empty") << "" << true;
}

void TestPairingService::versionGate()
{
    QFETCH(QString, version);
    QFETCH(bool, tooOld);
    Backend backend;
    const Answer answer = backend.create(kId, kKey, version.toStdString());
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.body.value("status", "") == "update_required", tooOld);
    // A refused importer gets the download address and no session.
    QCOMPARE(answer.body.value("download_url", ""), std::string(tooOld ? "https://example.test/get" : ""));
    QCOMPARE(backend.poll().status, tooOld ? 404 : 200);
}

void TestPairingService::pairingRun_data()
{
    QTest::addColumn<int>("restartAfterStep");  // 0: no restart
    QTest::newRow("no restart") << 0;
    QTest::newRow("restart after the claim") << 2;
    QTest::newRow("restart after the choice") << 3;
    QTest::newRow("restart after ready") << 4;
    QTest::newRow("restart after the upload") << 5;
}

void TestPairingService::pairingRun()
{
    QFETCH(int, restartAfterStep);
    Backend backend;
    const auto step = [&](int n) {
        if (n == restartAfterStep)
            backend.restart();
    };

    QCOMPARE(backend.create(kId, kKey).status, 200);
    QCOMPARE(backend.poll().body, (json{{"status", "pending"}}));
    step(1);

    const std::string token = backend.claim();
    QCOMPARE(token.size(), std::size_t(64));
    const json phone{{"session_id", kId}, {"phone_token", token}};
    QCOMPARE(backend.poll().body, (json{{"status", "claimed"}}));
    QCOMPARE(backend.post("vellora-pair-choice", phone).body["choice"], json());
    step(2);

    QCOMPARE(backend.post("vellora-pair-choose", choiceBody()).status, 200);
    const json choice = backend.post("vellora-pair-choice", phone).body["choice"];
    QCOMPARE(choice, (json{{"name", "Mum"}, {"handle", "+15550100"}, {"count", 3},
                           {"first", "2024-03-05T09:07:41"}, {"last", nullptr}}));
    step(3);

    const std::string uploadId = backend.post("vellora-pair-ready", phone).body.value("upload_id", "");
    QVERIFY(!uploadId.empty());
    step(4);
    QCOMPARE(backend.poll().body, (json{{"status", "claimed"}, {"upload_id", uploadId}}));
    QCOMPARE(backend.post("vellora-pair-fetch", phone).body, (json{{"status", "waiting"}}));

    // Multi-byte text, a NUL and line ends of both kinds must come back byte for byte.
    std::string transcript = "[2024-03-05 09:07] Mum: Are we still on for lunch? \xF0\x9F\x8D\x9C\r\n";
    transcript += std::string("nul:") + '\0' + "\n";
    while (transcript.size() < 100'000)
        transcript += "[2024-03-05 09:12] Me: Yes! See you at 1 \xE2\x80\x94 caf\xC3\xA9\n";
    const json upload{{"session_id", kId}, {"mac_key", kKey}, {"transcript", transcript}, {"file_name", "chat.txt"}};
    QCOMPARE(backend.post("vellora-pair-upload", upload).status, 200);
    step(5);

    const json fetched = backend.post("vellora-pair-fetch", phone).body;
    QCOMPARE(fetched.value("status", ""), std::string("uploaded"));
    QCOMPARE(fetched.value("file_name", ""), std::string("chat.txt"));
    QVERIFY(fetched.value("transcript", "") == transcript);
    // The upload id is spent: the importer is not asked again, and a second upload is refused.
    QCOMPARE(backend.poll().body, (json{{"status", "claimed"}}));
    QCOMPARE(backend.post("vellora-pair-upload", upload).status, 409);
}

void TestPairingService::idleExpiry()
{
    Backend backend;
    const std::int64_t idleMs = std::chrono::duration_cast<std::chrono::milliseconds>(kIdle).count();
    QCOMPARE(backend.create(kId, kKey).status, 200);
    // Every accepted request counts as activity, so a polled session lives on.
    for (int i = 0; i < 3; ++i) {
        backend.nowMs += idleMs;
        QCOMPARE(backend.poll().status, 200);
    }
    backend.nowMs += idleMs + 1;
    QCOMPARE(backend.poll().status, 410);
    QCOMPARE(backend.post("vellora-pair-claim", json{{"session_id", kId}}).status, 410);
    // A later creation sweeps it away; the id may then be registered again.
    QCOMPARE(backend.create(kId, kOtherKey).status, 200);
    QCOMPARE(backend.poll(kId, kOtherKey).body, (json{{"status", "pending"}}));
}

void TestPairingService::abortForgetsConversation()
{
    Backend backend;
    QCOMPARE(backend.create(kId, kKey).status, 200);
    const json phone{{"session_id", kId}, {"phone_token", backend.claim()}};
    QCOMPARE(backend.post("vellora-pair-choose", choiceBody()).status, 200);
    QCOMPARE(backend.post("vellora-pair-ready", phone).status, 200);
    const json upload{{"session_id", kId}, {"mac_key", kKey}, {"transcript", "secret words"}, {"file_name", "chat.txt"}};
    QCOMPARE(backend.post("vellora-pair-upload", upload).status, 200);

    QCOMPARE(backend.post("vellora-pair-abort", phone).status, 200);
    QCOMPARE(backend.poll().body, (json{{"status", "aborted"}}));
    QCOMPARE(backend.post("vellora-pair-fetch", phone).status, 409);
    QCOMPARE(backend.post("vellora-pair-choose", choiceBody()).body.value("error", ""),
             std::string("pairing session was aborted"));
    QVERIFY(!backend.dump().contains(QByteArray("secret words").toHex()));
    QVERIFY(!backend.dump().contains(QByteArray("Mum").toHex()));
}

QTEST_GUILESS_MAIN(TestPairingService)
#include "test_pairing_service.moc"
