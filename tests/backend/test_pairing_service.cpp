#include "HttpServer.h"
#include "PairingCrypto.h"
#include "PairingHttp.h"
#include "PairingService.h"
#include "RedisServer.h"
#include "TranscriptFile.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

using json = nlohmann::json;

namespace {

const std::string otherSessionId = "9A1B2C3D-0000-4000-8000-00000000BEEF";
const std::string otherMacKey(64, 'b');
constexpr auto idleTimeout = std::chrono::minutes(10);

// Every request test runs once with each store; main() sets the one of the current run.
enum class StoreKind { sqlite, redis };
StoreKind storeUnderTest = StoreKind::sqlite;

// Every byte of the store's files: -wal, -shm and the transcripts' included.
QByteArray sqliteFiles(const std::string &databasePath)
{
    QByteArray bytes;
    for (const char *suffix : {"", "-wal", "-shm", "-journal", "-transcripts"}) {
        QFile file(QString::fromStdString(databasePath) + QLatin1String(suffix));
        if (file.open(QIODevice::ReadOnly))
            bytes += file.readAll();
    }
    return bytes;
}

// A service on a SQLite file, or on a Redis server of its own, with a clock the test moves,
// spoken to by a plain HTTP client.
class Backend {
public:
    explicit Backend(std::size_t maxBody = std::size_t(1) << 20,
                     const std::function<void(PairingServiceOptions &)> &adjust = {})
    {
        options.databasePath = (dir.path() + QStringLiteral("/sessions.sqlite")).toStdString();
        options.idleTimeout = idleTimeout;
        options.maxBodyBytes = maxBody;
        options.connectionIdleTimeout = options.headerTimeout = options.rateWindow = std::chrono::seconds(1);
        options.minClientVersion = "0.2.0";
        options.downloadUrl = "https://example.test/get";
        options.clock = [this] { return std::chrono::system_clock::time_point(std::chrono::milliseconds(nowMs)); };
        if (adjust)
            adjust(options);
        if (storeUnderTest == StoreKind::redis) {
            redis = std::make_unique<RedisServer>();
            options.redisUrl = redis->url();
        }
        restart();
    }
    void restart()
    {
        service.reset();
        service = std::make_unique<PairingService>(options);
        service->start();
        client = std::make_unique<httplib::Client>(service->baseUrl());
    }

    Answer post(const std::string &endpoint, const std::string &body) { return postPairing(*client, endpoint, body); }
    Answer post(const std::string &endpoint, const json &body) { return post(endpoint, body.dump()); }
    // A request from the importer of session sessionId.
    Answer importer(const std::string &endpoint, json body = json::object()) { return post(endpoint, asImporter(body)); }
    Answer create(const std::string &id, const std::string &key, const std::string &version = "0.2.0")
    {
        return post("create", createBody(id, key, version));
    }
    std::string claim() { return post("claim", json{{"session_id", sessionId}}).body.value("phone_token", ""); }

    // Every stored row, read through a connection of its own: what "nothing changed" compares.
    // A line for each session and transcript; in Redis, the index and counters on a last line.
    QString dump() const
    {
        if (!redis)
            return query("SELECT * FROM session ORDER BY id") + query("SELECT * FROM transcript");
        QString lines, rest;
        QList<QByteArray> keys = redis->command({QStringLiteral("KEYS"), QStringLiteral("vellora:*")}).split('\n');
        std::sort(keys.begin(), keys.end());
        for (const QByteArray &key : keys) {
            if (key.isEmpty() || key.startsWith("vellora:creations:"))
                continue;  // creation attempts count, refused or not
            const QString name = QString::fromUtf8(key);
            const QByteArray type = redis->command({QStringLiteral("TYPE"), name});
            const QByteArray value = type == "hash"   ? redis->command({QStringLiteral("HGETALL"), name})
                                     : type == "zset" ? redis->command({QStringLiteral("ZRANGE"), name, QStringLiteral("0"),
                                                                        QStringLiteral("-1"), QStringLiteral("WITHSCORES")})
                                                      : redis->command({QStringLiteral("GET"), name});
            const QString line = name + QLatin1Char('|') + QString::fromLatin1(value.toHex());
            if (key.startsWith("vellora:{"))
                lines += line + QLatin1Char('\n');
            else
                rest += line;
        }
        return lines + rest;
    }
    // Every byte of the store's files.
    QByteArray storeFiles() const { return redis ? redis->dataFiles() : sqliteFiles(options.databasePath); }
    QString query(const char *sql) const
    {
        sqlite3 *db = nullptr;
        sqlite3_open_v2(options.databasePath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
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
    bool execute(const std::string &sql) const
    {
        sqlite3 *db = nullptr;
        sqlite3_open(options.databasePath.c_str(), &db);
        const bool done = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(db);
        return done;
    }

    QTemporaryDir dir;
    std::unique_ptr<RedisServer> redis;
    std::atomic<std::int64_t> nowMs{1'700'000'000'000};
    PairingServiceOptions options;
    std::unique_ptr<PairingService> service;
    std::unique_ptr<httplib::Client> client;
};

const json chosen{{"name", "Mum"}, {"handle", "+15550100"}, {"count", 3}, {"first", "2024-03-05T09:07:41"},
                   {"last", nullptr}};

// The {NAMES} of a request body in the refusals table, replaced.
QByteArray filledIn(QByteArray body)
{
    const std::pair<QByteArray, QByteArray> fills[] = {
        {"{S}", R"("session_id":"{ID}","mac_key":"{KEY}")"},
        {"{CHOICE}", R"("name":"Mum","handle":"x","first":null,"last":null)"},
        {"{HASH}", R"("mac_key_hash":")" + QByteArray(64, 'c') + R"(","client_version":"1.0")"},
        {"{BIG}", QByteArray(5000, 'x')},
        {"{OTHERKEY}", QByteArray::fromStdString(otherMacKey)},
        {"{OTHER}", QByteArray::fromStdString(otherSessionId)},
        {"{ID}", QByteArray::fromStdString(sessionId)},
        {"{KEY}", QByteArray::fromStdString(macKey)}};
    for (const auto &[name, text] : fills)
        body.replace(name, text);
    return body;
}

QByteArray httpRequest(const char *endpoint, const QByteArray &body, qint64 contentLength = -1,
                       const QByteArray &extraHeaders = {})
{
    return "POST /vellora-pair-" + QByteArray(endpoint) + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extraHeaders +
           "Content-Type: application/json\r\nContent-Length: " +
           QByteArray::number(contentLength < 0 ? body.size() : contentLength) + "\r\n\r\n" + body;
}

// What a hostile client got: the status (0: closed without an answer), the "error" text and the
// Retry-After header.
struct Outcome {
    int status = 0;
    QString error;
    int retryAfter = 0;
};

// Reads the answer on `fd` until the server closes it, and closes it.
Outcome readOutcome(int fd)
{
    const timeval wait{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    QByteArray answer;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, n);
    ::close(fd);
    Outcome outcome;
    if (answer.startsWith("HTTP/1.1 ")) {
        outcome.status = answer.mid(9, 3).toInt();
        const qsizetype bodyAt = answer.indexOf("\r\n\r\n") + 4;
        const json body = json::parse(answer.mid(bodyAt).toStdString(), nullptr, false);
        outcome.error = QString::fromStdString(body.is_object() ? body.value("error", "") : "");
        const qsizetype retry = answer.left(bodyAt).toLower().indexOf("retry-after: ");
        outcome.retryAfter = retry < 0 ? 0 : answer.mid(retry + 13, 4).split('\r').first().toInt();
    }
    return outcome;
}

// A raw connection to the service from `source`, a loopback address standing for a client; -1 on failure.
int connectFrom(int port, const char *source)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &address.sin_addr);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return ::close(fd), -1;
    address.sin_port = htons(static_cast<quint16>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return ::close(fd), -1;
    return fd;
}

// Opens `count` raw connections from 127.0.0.2; on each sends `head` at once and then `trickle` one byte every
// 100 ms until the server answers. `meanwhile` runs while they are all open.
QList<Outcome> attack(int port, int count, const QByteArray &head, const QByteArray &trickle,
                      const std::function<void()> &meanwhile)
{
    std::vector<int> sockets;
    for (int i = 0; i < count; ++i) {
        const int fd = connectFrom(port, "127.0.0.2");
        if (fd < 0)
            qFatal("cannot connect");
        sockets.push_back(fd);
        if (!head.isEmpty())
            ::send(fd, head.constData(), size_t(head.size()), MSG_NOSIGNAL);
    }
    std::atomic<bool> started{false};
    std::thread trickler([&] {
        started = true;
        for (const char byte : trickle) {
            bool sent = false;
            for (const int fd : sockets) {
                pollfd answered{fd, POLLIN, 0};
                if (::poll(&answered, 1, 0) == 0)
                    sent = ::send(fd, &byte, 1, MSG_NOSIGNAL) == 1 || sent;
            }
            if (!sent)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    while (!started)
        std::this_thread::yield();
    meanwhile();
    trickler.join();

    QList<Outcome> outcomes;
    for (const int fd : sockets)
        outcomes.append(readOutcome(fd));
    return outcomes;
}

// One request on a connection of its own from `source`, and what came back.
Outcome exchange(int port, const char *source, const QByteArray &request)
{
    const int fd = connectFrom(port, source);
    if (fd < 0)
        return {};
    ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL);
    return readOutcome(fd);
}

// Sends `head`, then `filler` bytes until `total` have gone or the server has closed; returns how
// many went.
qint64 sendUntilClosed(int fd, const QByteArray &head, qint64 total)
{
    const QByteArray filler(64 * 1024, 'x');
    qint64 sent = ::send(fd, head.constData(), size_t(head.size()), MSG_NOSIGNAL);
    while (sent < total) {
        const ssize_t n = ::send(fd, filler.constData(), size_t(std::min<qint64>(filler.size(), total - sent)), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += n;
    }
    return sent;
}

// Counts the syncs of every -wal file SQLite opens in this process.
struct WalSyncs {
    static inline sqlite3_vfs *base = nullptr;
    static inline sqlite3_vfs vfs{};
    static inline const sqlite3_io_methods *real = nullptr;
    static inline sqlite3_io_methods counting{};
    static inline std::atomic<int> count{0};
    static inline std::atomic<bool> failing{false};
    static inline std::atomic<int> slowMs{0};  // each sync takes this long

    static void install()
    {
        if (base)
            return;
        base = sqlite3_vfs_find(nullptr);
        vfs = *base;
        vfs.zName = "wal-syncs";
        vfs.xOpen = [](sqlite3_vfs *, sqlite3_filename name, sqlite3_file *file, int flags, int *outFlags) {
            const int rc = base->xOpen(base, name, file, flags, outFlags);
            if (rc == SQLITE_OK && file->pMethods && (flags & SQLITE_OPEN_WAL)) {
                real = file->pMethods;
                counting = *real;
                counting.xSync = [](sqlite3_file *f, int how) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(slowMs));
                    ++count;
                    return failing ? SQLITE_IOERR_FSYNC : real->xSync(f, how);
                };
                file->pMethods = &counting;
            }
            return rc;
        };
        sqlite3_vfs_register(&vfs, 1);
    }
};

} // namespace

class TestPairingService : public QObject {
    Q_OBJECT

private slots:
    void refusals_data()
    {
        QTest::addColumn<QString>("endpoint");
        QTest::addColumn<QByteArray>("body");  // with {NAMES} for filledIn()
        QTest::addColumn<int>("advanceSeconds");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");
        const auto row = [](const QByteArray &name, const char *endpoint, const QByteArray &body, int status,
                            const char *error, int advanceSeconds = 0) {
            QTest::newRow(name.constData()) << QString::fromLatin1(endpoint) << body << advanceSeconds << status
                                            << QString::fromUtf8(error);
        };
        const char *const invalidCount = "missing or invalid \"count\"";
        const char *const notObject = "request body is not a JSON object";

        row("wrong key", "poll", R"({"session_id":"{ID}","mac_key":"{OTHERKEY}"})", 403, "wrong session key");
        row("key of another length", "poll", R"({"session_id":"{ID}","mac_key":"a"})", 403, "wrong session key");
        row("unknown session", "poll", R"({"session_id":"11111111-2222-4333-8444-555555555555","mac_key":"{KEY}"})",
            404, "unknown pairing session");
        row("duplicate id in lower case", "create", R"({"session_id":"3f2504e0-4f89-11d3-9a0c-0305e82c3301",{HASH}})",
            409, "pairing session already exists");
        row("not json", "poll", R"({"session_id":)", 400, notObject);
        row("json array", "poll", "[1,2]", 400, notObject);
        row("id not a uuid", "poll", R"({"session_id":"chat.db","mac_key":"{KEY}"})", 400,
            "missing or invalid \"session_id\"");
        for (const char *count : {"\"3\"", "-1", "2.5", "1e30"})
            row(QByteArray("count ") + count, "choose", "{{S},{CHOICE},\"count\":" + QByteArray(count) + "}", 400,
                invalidCount);
        row("upload before the phone is ready", "upload", R"({{S},"transcript":"hi","file_name":"chat.txt"})", 409,
            "the phone is not ready for the transcript yet");
        row("file name with a path", "upload", R"({{S},"transcript":"hi","file_name":"../chat.txt"})", 400,
            "missing or invalid \"file_name\"");
        row("body over the limit", "upload", R"({{S},"file_name":"chat.txt","transcript":"{BIG}"})", 413,
            "request body too large");
        row("expired session", "poll", "{{S}}", 410, "pairing session expired", int(idleTimeout.count() * 60 + 1));
        row("client_version of 65 bytes", "create", "{\"session_id\":\"{OTHER}\",\"mac_key_hash\":\"{KEY}\",\"client_version\":\"" +
            QByteArray(65, '1') + "\"}", 413, "\"client_version\" is longer than 64 bytes");
        row("name of 1,025 bytes", "choose", "{{S},\"name\":\"" + QByteArray(1025, 'M') + "\",\"handle\":\"x\",\"count\":1,\"first\":null,\"last\":null}",
            413, "\"name\" is longer than 1024 bytes");
        row("poll body over 64 KiB", "poll", "{{S},\"pad\":\"" + QByteArray(64 * 1024, ' ') + "\"}", 413,
            "request body too large");
        row("phone token wrong", "fetch", R"({"session_id":"{ID}","phone_token":"{KEY}"})", 403, "wrong phone token");
        row("claimed twice", "claim", R"({"session_id":"{ID}"})", 409, "pairing session already claimed");
        row("choice before the claim", "choose",
            R"({"session_id":"{OTHER}","mac_key":"{OTHERKEY}",{CHOICE},"count":1})", 409,
            "the phone has not claimed this pairing session yet");
    }

    void refusals()
    {
        QFETCH(QString, endpoint);
        QFETCH(QByteArray, body);
        QFETCH(int, advanceSeconds);
        QFETCH(int, status);
        QFETCH(QString, error);

        Backend backend(4096);
        QCOMPARE(backend.create(sessionId, macKey).status, 200);
        QCOMPARE(backend.create(otherSessionId, otherMacKey).status, 200);
        QVERIFY(!backend.claim().empty());
        // Time moves on, so a refusal that counted as activity would show in the rows.
        backend.nowMs += std::int64_t(advanceSeconds) * 1000 + 1000;
        const QString before = backend.dump();
        QCOMPARE(before.count(QLatin1Char('\n')), 2);

        const Answer answer = backend.post(endpoint.toStdString(), filledIn(body).toStdString());
        QCOMPARE(answer.status, status);
        QVERIFY(answer.body.is_object());
        QCOMPARE(QString::fromStdString(answer.body.value("error", "")), error);
        QCOMPARE(backend.dump(), before);
    }

    void versionGate_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("tooOld");
        for (const auto &[version, tooOld] : {std::pair{"0.1.9", true}, {"0.2.0", false}, {"0.2", false},
                                              {"0.10.0", false}, {"0.2.0-beta", false}, {"abc", true}, {"", true}})
            QTest::addRow("\"%s\"", version) << QString::fromLatin1(version) << tooOld;
    }

    // Below the minimum: 200 with "update_required" and the download address, and no session stored.
    void versionGate()
    {
        QFETCH(QString, version);
        QFETCH(bool, tooOld);
        Backend backend;
        const Answer answer = backend.create(sessionId, macKey, version.toStdString());
        QCOMPARE(answer.status, 200);
        QCOMPARE(answer.body.value("status", "") == "update_required", tooOld);
        QCOMPARE(answer.body.value("download_url", ""), std::string(tooOld ? "https://example.test/get" : ""));
        QCOMPARE(backend.dump().isEmpty(), tooOld);
    }

    // A whole run, with the service restarted after one of its steps.
    void pairingRun_data()
    {
        QTest::addColumn<int>("restartAfterStep");
        int step = 0;
        for (const char *when : {"no restart", "restart after the creation", "restart after the claim",
                                 "restart after the choice", "restart after ready", "restart after the upload"})
            QTest::newRow(when) << step++;
    }

    void pairingRun()
    {
        QFETCH(int, restartAfterStep);
        Backend backend;
        const std::int64_t idleMs = std::chrono::milliseconds(idleTimeout).count();
        // Between steps a whole idle period passes: every accepted request counts as activity.
        const auto step = [&](int n) {
            backend.nowMs += idleMs;
            if (n == restartAfterStep)
                backend.restart();
        };

        QCOMPARE(backend.create(sessionId, macKey).status, 200);
        step(1);
        QCOMPARE(backend.importer("poll").body, (json{{"status", "pending"}}));
        const json phone{{"session_id", sessionId}, {"phone_token", backend.claim()}};
        QCOMPARE(phone["phone_token"].get<std::string>().size(), std::size_t(64));
        step(2);
        QCOMPARE(backend.importer("poll").body, (json{{"status", "claimed"}}));
        QCOMPARE(backend.post("choice", phone).body["choice"], json());
        QCOMPARE(backend.importer("choose", chosen).status, 200);
        step(3);
        QCOMPARE(backend.post("choice", phone).body["choice"], chosen);
        const std::string uploadId = backend.post("ready", phone).body.value("upload_id", "");
        QVERIFY(!uploadId.empty());
        step(4);
        QCOMPARE(backend.importer("poll").body, (json{{"status", "claimed"}, {"upload_id", uploadId}}));
        QCOMPARE(backend.post("fetch", phone).body, (json{{"status", "waiting"}}));

        // Multi-byte text, a NUL and line ends of both kinds must come back byte for byte.
        std::string transcript = "Mum: Lunch? \xF0\x9F\x8D\x9C\r\nnul:" + std::string(1, '\0') + "\n";
        while (transcript.size() < 100000)
            transcript += "[2024-03-05 09:12] Me: Yes! See you at 1 \xE2\x80\x94 caf\xC3\xA9\n";
        const json upload{{"transcript", transcript}, {"file_name", "chat.txt"}};
        QCOMPARE(backend.importer("upload", upload).status, 200);
        step(5);
        // An answer lost on the way is fetched again, until the phone confirms it.
        for (int fetch = 0; fetch < 2; ++fetch) {
            const json fetched = backend.post("fetch", phone).body;
            QCOMPARE(fetched.value("status", ""), std::string("uploaded"));
            QCOMPARE(fetched.value("file_name", ""), std::string("chat.txt"));
            QVERIFY(fetched.value("transcript", "") == transcript);
        }
        QCOMPARE(backend.post("received", phone).body, (json{{"status", "received"}}));
        QCOMPARE(backend.post("received", phone).status, 200);
        QCOMPARE(backend.post("fetch", phone).body, (json{{"error", "the transcript was received already"}}));
        // The upload id is spent: the importer is not asked again, and a second upload is refused.
        QCOMPARE(backend.importer("poll").body, (json{{"status", "claimed"}}));
        QCOMPARE(backend.importer("upload", upload).status, 409);
        // Left idle, it expires and is removed without a request; the id may be registered again.
        backend.nowMs += idleMs + 1;
        QTRY_COMPARE(backend.importer("poll").status, 404);
        QCOMPARE(backend.create(sessionId, otherMacKey).status, 200);
    }

    void hostileClients_data()
    {
        QTest::addColumn<int>("connections");
        QTest::addColumn<QByteArray>("head");     // sent at once
        QTest::addColumn<QByteArray>("trickle");  // then one byte every 100 ms
        QTest::addColumn<int>("status");          // 0: closed without an answer
        QTest::addColumn<QString>("error");
        const QByteArray deep = QByteArray(30000, '[') + QByteArray(30000, ']');
        const char *const tooDeep = "request body nests too deeply";
        for (const char *endpoint : {"poll", "claim", "create"})
            QTest::addRow("30,000 levels, %s", endpoint)
                << 1 << httpRequest(endpoint, R"({"session_id":)" + deep + "}") << QByteArray() << 400
                << QString::fromLatin1(tooDeep);
        QTest::newRow("five levels") << 1 << httpRequest("poll", filledIn(R"({"a":{"b":[{"c":[]}]},{S}})")) << QByteArray()
                                     << 400 << QString::fromLatin1(tooDeep);
        QByteArray elements = "0";
        while (elements.size() < 900000)
            elements += ",0,0,0,0,0,0,0,0";
        QTest::newRow("array of 450,000 elements")
            << 1 << httpRequest("poll", filledIn(R"({"mac_key":"{KEY}","session_id":[)") + elements + "]}") << QByteArray()
            << 413 << QStringLiteral("request body too large");
        QTest::newRow("declared body over the limit")
            << 1 << httpRequest("upload", "{", 2 << 20) << QByteArray() << 413 << QStringLiteral("request body too large");
        QTest::newRow("not HTTP") << 1 << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15)
                                  << QByteArray() << 400 << QStringLiteral("bad request");
        QTest::newRow("50 clients sending the header ten bytes a second")
            << 50 << QByteArray() << httpRequest("poll", filledIn("{{S}}")) << 408 << QStringLiteral("request timed out");
        const QByteArray body = filledIn("{{S}}");
        QTest::newRow("50 clients sending the body ten bytes a second")
            << 50 << httpRequest("poll", QByteArray(), body.size()) << body << 408 << QStringLiteral("request timed out");
        QTest::newRow("300 idle connections, 256 of them let in") << 300 << QByteArray() << QByteArray() << 0 << QString();
    }

    // Each hostile client ends in a refusal (or, idle, in a close); the store stays as it was and
    // the service answers others all the while.
    void hostileClients()
    {
        QFETCH(int, connections);
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, trickle);
        QFETCH(int, status);
        QFETCH(QString, error);

        Backend backend(std::size_t(1) << 20);
        QCOMPARE(backend.create(sessionId, macKey).status, 200);
        const QString before = backend.dump();
        Answer meanwhile;
        const QList<Outcome> outcomes = attack(backend.service->port(), connections, head, trickle,
                                               [&] { meanwhile = backend.importer("poll"); });
        QCOMPARE(meanwhile.status, 200);
        for (const Outcome &outcome : outcomes) {
            QCOMPARE(outcome.status, status);
            QCOMPARE(outcome.error, error);
        }
        QCOMPARE(backend.dump(), before);
        QCOMPARE(backend.importer("poll").status, 200);
    }

    void transcriptLeavesNoTrace_data()
    {
        QTest::addColumn<QString>("end");
        QTest::newRow("received by the phone") << "received";
        QTest::newRow("session aborted") << "abort";
        QTest::newRow("phone ready again") << "ready";
        QTest::newRow("session expired and swept") << "expire";
    }

    // No byte of a transcript survives in the store's files once it is delivered or given up.
    void transcriptLeavesNoTrace()
    {
        QFETCH(QString, end);
        Backend backend;
        QCOMPARE(backend.create(sessionId, macKey).status, 200);
        const json phone{{"session_id", sessionId}, {"phone_token", backend.claim()}};
        QCOMPARE(backend.importer("choose", chosen).status, 200);
        QCOMPARE(backend.post("ready", phone).status, 200);
        const std::string marker = "Lunch at the usual place? 7f3a9c";
        std::string transcript;
        while (transcript.size() < 200000)
            transcript += marker + " " + std::to_string(transcript.size()) + "\n";
        QCOMPARE(backend.importer("upload", {{"transcript", transcript}, {"file_name", "chat.txt"}}).status, 200);
        const QByteArray needle = QByteArray::fromStdString(marker).left(24);
        QVERIFY(backend.storeFiles().contains(needle));

        if (end == u"received") {
            for (int fetch = 0; fetch < 2; ++fetch)
                QVERIFY(backend.post("fetch", phone).body.value("transcript", "") == transcript);
            QVERIFY(backend.storeFiles().contains(needle));
            QCOMPARE(backend.post("received", phone).status, 200);
            QCOMPARE(backend.post("fetch", phone).body, (json{{"error", "the transcript was received already"}}));
        } else if (end == u"expire") {
            // No request follows: the expiry timer alone removes it.
            backend.nowMs += std::chrono::milliseconds(idleTimeout).count() + 1;
        } else {
            QCOMPARE(backend.post(end.toStdString(), phone).status, 200);
            QCOMPARE(backend.post("fetch", phone).body.value("transcript", ""), std::string());
        }
        // Deletions are scrubbed from the -wal file within about a second; Redis rewrites its
        // files after a deletion within its bound of a minute.
        const int withinMs = backend.redis ? 60000 : 3000;
        QTRY_VERIFY_WITH_TIMEOUT(!backend.storeFiles().contains(needle), withinMs);
        if (end == u"abort") {
            QCOMPARE(backend.importer("poll").body, (json{{"status", "aborted"}}));
            QVERIFY(!backend.dump().contains(QLatin1String(QByteArray("Mum").toHex())));
        }
    }
    void earlyCredentialCheck_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("id");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");
        QTest::newRow("wrong key") << QString::fromStdString(otherMacKey) << QString::fromStdString(sessionId) << 403
                                   << QStringLiteral("wrong session key");
        QTest::newRow("unknown session") << QString::fromStdString(macKey) << QString::fromStdString(otherSessionId) << 404
                                         << QStringLiteral("unknown pairing session");
        QTest::newRow("the importer's own") << QString::fromStdString(macKey) << QString::fromStdString(sessionId) << 200
                                            << QString();
    }

    // The importer's field order puts the credentials before the transcript: a stranger's upload is
    // refused there, and the server closes while the client is still sending.
    void earlyCredentialCheck()
    {
        QFETCH(QString, key);
        QFETCH(QString, id);
        QFETCH(int, status);
        QFETCH(QString, error);
        const qint64 total = 32 << 20;
        Backend backend{std::size_t(total)};
        QCOMPARE(backend.create(sessionId, macKey).status, 200);
        QCOMPARE(backend.post("ready", json{{"session_id", sessionId}, {"phone_token", backend.claim()}}).status, 200);

        const QByteArray start = "{\"file_name\":\"chat.txt\",\"mac_key\":\"" + key.toUtf8() + "\",\"session_id\":\"" +
                                 id.toUtf8() + "\",\"transcript\":\"";
        const QByteArray end = "\"}";
        const int fd = connectFrom(backend.service->port(), "127.0.0.1");
        const QByteArray request = httpRequest("upload", start, total);
        const qint64 sent = sendUntilClosed(fd, request, request.size() - start.size() + total - end.size());
        ::send(fd, end.constData(), size_t(end.size()), MSG_NOSIGNAL);
        const Outcome outcome = readOutcome(fd);
        QCOMPARE(outcome.status, status);
        QCOMPARE(outcome.error, error);
        if (status != 200)
            QVERIFY2(sent < total / 3, qPrintable(QString::number(sent)));
    }

    void createLimits_data()
    {
        QTest::addColumn<QString>("trustedProxy");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QByteArray>("forwardedFor");
        QTest::addColumn<int>("burst");
        QTest::addColumn<int>("maxSessions");
        QTest::addColumn<int>("status");  // of the fourth creation
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("otherSource");
        QTest::addColumn<QByteArray>("otherForwardedFor");
        QTest::addColumn<int>("otherStatus");
        const QString tooMany = QStringLiteral("too many pairing sessions from this address, try again shortly");
        QTest::newRow("per address") << QString() << QByteArray("127.0.0.2") << QByteArray() << 3 << 100 << 429 << tooMany
                                     << QByteArray("127.0.0.1") << QByteArray() << 200;
        QTest::newRow("per address a trusted proxy names")
            << QStringLiteral("127.0.0.2") << QByteArray("127.0.0.2") << QByteArray("10.0.0.1, 203.0.113.7") << 3 << 100
            << 429 << tooMany << QByteArray("127.0.0.2") << QByteArray("203.0.113.8") << 200;
        QTest::newRow("X-Forwarded-For from anyone else ignored")
            << QStringLiteral("127.0.0.3") << QByteArray("127.0.0.2") << QByteArray("203.0.113.7") << 3 << 100 << 429
            << tooMany << QByteArray("127.0.0.2") << QByteArray("203.0.113.8") << 429;
        QTest::newRow("live sessions") << QString() << QByteArray("127.0.0.2") << QByteArray() << 100 << 3 << 503
                                       << QStringLiteral("the service is busy, try again shortly")
                                       << QByteArray("127.0.0.1") << QByteArray() << 503;
    }

    // Three creations go through; the fourth is refused with Retry-After, and a client at another
    // address is not touched, unless the whole service is full.
    void createLimits()
    {
        QFETCH(QString, trustedProxy);
        QFETCH(QByteArray, source);
        QFETCH(QByteArray, forwardedFor);
        QFETCH(int, burst);
        QFETCH(int, maxSessions);
        QFETCH(int, status);
        QFETCH(QString, error);
        QFETCH(QByteArray, otherSource);
        QFETCH(QByteArray, otherForwardedFor);
        QFETCH(int, otherStatus);
        Backend backend(1 << 20, [&](PairingServiceOptions &o) {
            o.createBurst = burst;
            o.createsPerSecond = 0.01;
            o.maxLiveSessions = std::size_t(maxSessions);
            o.trustedProxy = trustedProxy.toStdString();
        });
        const auto create = [&](const QByteArray &from, const QByteArray &forwarded) {
            const json body = createBody(QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString(), macKey, "0.2.0");
            const QByteArray header = forwarded.isEmpty() ? QByteArray() : "X-Forwarded-For: " + forwarded + "\r\n";
            return exchange(backend.service->port(), from.constData(),
                            httpRequest("create", QByteArray::fromStdString(body.dump()), -1, header));
        };
        for (int i = 0; i < 3; ++i)
            QCOMPARE(create(source, forwardedFor).status, 200);
        const Outcome refused = create(source, forwardedFor);
        QCOMPARE(refused.status, status);
        QCOMPARE(refused.error, error);
        QVERIFY(refused.retryAfter >= 1);
        QCOMPARE(create(otherSource, otherForwardedFor).status, otherStatus);
    }

    void connectionCaps_data()
    {
        QTest::addColumn<bool>("perAddress");
        QTest::addColumn<int>("otherStatus");  // of a connection from another address meanwhile
        QTest::newRow("per address") << true << 200;
        QTest::newRow("in total") << false << 0;
    }

    // Connections beyond a cap are closed at once; the per-address cap lets another address in.
    void connectionCaps()
    {
        QFETCH(bool, perAddress);
        QFETCH(int, otherStatus);
        Backend backend(1 << 20, [&](PairingServiceOptions &o) {
            (perAddress ? o.maxConnectionsPerAddress : o.maxConnections) = 8;
            // The held connections send nothing: on a slow run, the test's usual second would
            // close them and free their places before the check.
            o.connectionIdleTimeout = o.headerTimeout = std::chrono::seconds(30);
        });
        QCOMPARE(backend.create(sessionId, macKey).status, 200);
        std::vector<int> held;
        for (int i = 0; i < 8; ++i)
            held.push_back(connectFrom(backend.service->port(), "127.0.0.2"));
        const QByteArray poll = httpRequest("poll", filledIn("{{S}}"));
        // Waits without asking again once answered: each try is itself a connection, given back
        // a moment after its answer.
        const auto eventually = [&](int status) {
            return QTest::qWaitFor([&] { return exchange(backend.service->port(), "127.0.0.2", poll).status == status; });
        };
        QVERIFY(eventually(0));
        QCOMPARE(exchange(backend.service->port(), "127.0.0.1", poll).status, otherStatus);
        ::close(held.back());
        held.pop_back();
        QVERIFY(eventually(200));
        for (const int fd : held)
            ::close(fd);
    }

    void bodyBudgets_data()
    {
        QTest::addColumn<QString>("limit");
        QTest::newRow("bytes in flight across connections") << "in flight";
        QTest::newRow("minimum rate in every window") << "window";
    }

    // Transcript first, so no credential check stops these bodies: what bounds them is the budget
    // of bytes in flight, and the rate each must keep in every 1 s window.
    void bodyBudgets()
    {
        QFETCH(QString, limit);
        Backend backend(16 << 20, [](PairingServiceOptions &o) { o.maxBodyBytesInFlight = 4 << 20; });
        QCOMPARE(backend.create(sessionId, macKey).status, 200);
        const int port = backend.service->port();
        const QByteArray head = httpRequest("upload", "{\"transcript\":\"", 16 << 20);
        const int first = connectFrom(port, "127.0.0.2");
        QCOMPARE(sendUntilClosed(first, head, 3 << 20), qint64(3 << 20));
        // Until the server has it all: nothing waits unacknowledged, and a moment to read it.
        QTRY_VERIFY([first] {
            int unsent = 0;
            return ::ioctl(first, SIOCOUTQ, &unsent) == 0 && unsent == 0;
        }());
        QTest::qWait(200);
        QElapsedTimer stalled;
        stalled.start();
        if (limit == u"in flight") {
            const int second = connectFrom(port, "127.0.0.2");
            sendUntilClosed(second, head, 2 << 20);
            const Outcome over = readOutcome(second);
            QCOMPARE(over.status, 503);
            QCOMPARE(over.error, QStringLiteral("the service is busy, try again shortly"));
            QCOMPARE(over.retryAfter, 1);
            QCOMPARE(backend.importer("poll").status, 200);
            ::close(first);
            // The first body's bytes are given back when its connection goes.
            QTRY_COMPARE(exchange(port, "127.0.0.2", httpRequest("upload", "{\"transcript\":\"" + QByteArray(3 << 20, 'x') + "\"}")).error,
                         QStringLiteral("missing or invalid \"file_name\""));
        } else {
            // 3 MiB at once, then silence: on average far above the rate, cut off at the first
            // window without its share.
            const Outcome cut = readOutcome(first);
            QCOMPARE(cut.status, 408);
            QCOMPARE(cut.error, QStringLiteral("request timed out"));
            QVERIFY2(stalled.elapsed() < 3000, qPrintable(QString::number(stalled.elapsed())));
        }
    }

    void lateCredentials_data()
    {
        QTest::addColumn<bool>("credentialsFirst");
        QTest::newRow("credentials first: read as it comes") << true;
        QTest::newRow("transcript first: read at the unknown senders' rate") << false;
    }

    // Past its first 64 KiB, a body whose sender is not known yet is read at the rate set for
    // unknown senders (here 1 MiB/s): slowed, not refused, and its rate windows not held to
    // the server's waits. Once known, it is read as fast as it comes.
    void lateCredentials()
    {
        QFETCH(bool, credentialsFirst);
        Backend backend(8 << 20, [](PairingServiceOptions &o) { o.unknownSenderBytesPerSecond = 1 << 20; });
        QCOMPARE(backend.create(sessionId, macKey).status, 200);
        QCOMPARE(backend.post("ready", json{{"session_id", sessionId}, {"phone_token", backend.claim()}}).status, 200);
        const QByteArray credentials = filledIn(R"("file_name":"chat.txt",{S})");
        const QByteArray transcript = "\"transcript\":\"" + QByteArray(3 << 20, 'x') + '"';
        const QByteArray body = '{' + (credentialsFirst ? credentials + ',' + transcript : transcript + ',' + credentials) + '}';
        QElapsedTimer took;
        took.start();
        const Outcome outcome = exchange(backend.service->port(), "127.0.0.1", httpRequest("upload", body));
        QCOMPARE(outcome.status, 200);
        // 3 MiB less the free 64 KiB and a tenth of a second's burst take 2.8 s at 1 MiB/s.
        if (credentialsFirst)
            QVERIFY2(took.elapsed() < 2000, qPrintable(QString::number(took.elapsed())));
        else
            QVERIFY2(took.elapsed() >= 2000, qPrintable(QString::number(took.elapsed())));
    }

    void exceptionEndsOneConnection_data()
    {
        QTest::addColumn<QString>("where");
        QTest::newRow("bad_alloc in the handler") << "handler";
        QTest::newRow("bad_alloc making the body reader") << "reader";
    }

    // Whatever one request throws, it gets a 503 and the server goes on answering everyone else.
    void exceptionEndsOneConnection()
    {
        QFETCH(QString, where);
        const bool inReader = where == u"reader";
        HttpServer server({}, [&](std::string_view name) {
            if (inReader && name == "boom")
                throw std::bad_alloc();
            return std::optional<RequestBody>(RequestBody({}, 1024));
        },
        [&](std::string_view name, RequestBody &, const std::string &) {
            if (name == "boom")
                throw std::bad_alloc();
            return HttpAnswer{200, "{\"status\":\"fine\"}"};
        });
        server.start();
        httplib::Client client("127.0.0.1", server.port());
        client.set_keep_alive(true);
        QCOMPARE(client.Post("/fine", "{}", "application/json")->status, 200);
        for (int i = 0; i < 3; ++i) {
            const auto boom = httplib::Client("127.0.0.1", server.port()).Post("/boom", "{}", "application/json");
            QVERIFY(boom);
            QCOMPARE(boom->status, 503);
            QCOMPARE(json::parse(boom->body).value("error", ""), std::string("internal error"));
            QCOMPARE(client.Post("/fine", "{}", "application/json")->status, 200);
        }
    }
};

// What only the SQLite store has: files of an earlier layout, and its own syncs.
class TestSqliteStore : public QObject {
    Q_OBJECT

private slots:
    // A store written before transcripts had a table of their own: the waiting one is still fetched.
    void storeOfAnEarlierVersion()
    {
        Backend backend;
        backend.service.reset();
        const std::string path = backend.options.databasePath;
        for (const char *suffix : {"", "-wal", "-shm"})
            std::remove((path + suffix).c_str());
        sqlite3 *db = nullptr;
        sqlite3_open(path.c_str(), &db);
        sqlite3_exec(db,
                     "CREATE TABLE session (id TEXT PRIMARY KEY, key_hash BLOB NOT NULL, client_version TEXT NOT NULL,"
                     " state TEXT NOT NULL, phone_token_hash BLOB, choice TEXT, upload_id TEXT, transcript TEXT,"
                     " file_name TEXT, created_ms INTEGER NOT NULL, touched_ms INTEGER NOT NULL)",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO session VALUES (?1, ?2, '0.2.0', 'claimed', ?3, NULL, NULL,"
                               " 'Mum: hi\n', 'chat.txt', ?4, ?4)", -1, &stmt, nullptr);
        const std::string keyHash = PairingCrypto::sha256(macKey);
        const std::string tokenHash = PairingCrypto::sha256("token");
        sqlite3_bind_text(stmt, 1, sessionId.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(stmt, 2, keyHash.data(), int(keyHash.size()), SQLITE_TRANSIENT);
        sqlite3_bind_blob(stmt, 3, tokenHash.data(), int(tokenHash.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(stmt, 4, backend.nowMs);
        QCOMPARE(sqlite3_step(stmt), SQLITE_DONE);
        sqlite3_finalize(stmt);
        sqlite3_close(db);

        backend.restart();
        const json phone{{"session_id", sessionId}, {"phone_token", "token"}};
        QCOMPARE(backend.post("fetch", phone).body,
                 (json{{"status", "uploaded"}, {"transcript", "Mum: hi\n"}, {"file_name", "chat.txt"}}));
        QCOMPARE(backend.post("received", phone).status, 200);
        QCOMPARE(backend.post("fetch", phone).status, 410);
    }

    void transcriptsAcrossRestarts_data()
    {
        QTest::addColumn<QString>("meanwhile");
        QTest::newRow("nothing") << "";
        QTest::newRow("its naming lost") << "unnamed";
        QTest::newRow("another named past it") << "renamed";
        QTest::newRow("its text lost") << "zeroed";
        QTest::newRow("its naming damaged") << "damaged";
    }

    // The transcript file is taken up again on a restart: what the database names is fetched, and
    // what it doesn't (a commit lost in a crash) is gone from the file before the first request. A
    // text that a power loss took while its naming reached the disk is refused, not handed out.
    void transcriptsAcrossRestarts()
    {
        QFETCH(QString, meanwhile);
        Backend backend;
        QCOMPARE(backend.create(sessionId, macKey).status, 200);
        const json phone{{"session_id", sessionId}, {"phone_token", backend.claim()}};
        QCOMPARE(backend.post("ready", phone).status, 200);
        const std::string transcript(150000, 'x');  // three chunks
        QCOMPARE(backend.importer("upload", {{"transcript", transcript}, {"file_name", "chat.txt"}}).status, 200);
        backend.service.reset();

        const std::string files = backend.options.databasePath + "-transcripts";
        std::string expected = transcript;
        if (meanwhile == u"unnamed") {
            QVERIFY(backend.execute("DELETE FROM transcript"));
            expected.clear();
        } else if (meanwhile == u"renamed") {
            // Named in chunk 5 alone: chunks 0 to 4 are no one's, the text's three among them.
            expected = "Mum: hi\n";
            const std::string chunks = TranscriptFile::encode({5});
            QVERIFY(backend.execute("UPDATE transcript SET length = 8, crc = 2215462700, chunks = x'" +
                                    PairingCrypto::toHex(chunks) + "'"));
            QFile file(QString::fromStdString(files));
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.seek(5 * 65536));
            file.write(expected.data(), qint64(expected.size()));
        } else if (meanwhile == u"damaged") {
            // A chunk twice, and one past the file's end: the text is dropped, not the store.
            expected.clear();
            QVERIFY(backend.execute("UPDATE transcript SET chunks = x'" + PairingCrypto::toHex(TranscriptFile::encode({0, 0, 99})) + "'"));
        } else if (meanwhile == u"zeroed") {
            QFile file(QString::fromStdString(files));
            QVERIFY(file.open(QIODevice::ReadWrite));
            file.write(QByteArray(qsizetype(file.size()), '\0'));
        }
        backend.restart();
        QFile file(QString::fromStdString(files));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().count('x'), meanwhile.isEmpty() ? qsizetype(transcript.size()) : 0);
        const Answer fetched = backend.post("fetch", phone);
        if (meanwhile == u"zeroed")
            QCOMPARE(fetched.status, 500);
        else
            QCOMPARE(fetched.body.value("transcript", ""), expected);
    }

    // A released chunk is used again only after a sync has put its release on the disk.
    void chunksFreedBySync()
    {
        QTemporaryDir dir;
        TranscriptFile file((dir.path() + QStringLiteral("/t")).toStdString());
        file.adopt({});
        const auto sorted = [](TranscriptFile::Chunks chunks) {
            std::sort(chunks.begin(), chunks.end());
            return chunks;
        };
        const TranscriptFile::Place first = file.write(std::string(70000, 'a'));
        QCOMPARE(first.chunks, (TranscriptFile::Chunks{0, 1}));
        file.release(first);
        const TranscriptFile::Place b = file.write("b");
        QCOMPARE(b.chunks, (TranscriptFile::Chunks{2}));
        file.sync([] {});
        const TranscriptFile::Place again = file.write(std::string(70000, 'c'));
        QCOMPARE(sorted(again.chunks), (TranscriptFile::Chunks{0, 1}));
        file.release(again);
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, file.sync([] { throw std::runtime_error("no disk"); }));
        QCOMPARE(file.write("d").chunks, (TranscriptFile::Chunks{3}));
        QCOMPARE(file.read(b), std::string("b"));
    }

    void durableAnswers_data()
    {
        QTest::addColumn<QString>("endpoint");
        QTest::addColumn<bool>("diskFails");
        QTest::newRow("claim") << "claim" << false;
        QTest::newRow("upload") << "upload" << false;
        QTest::newRow("claim, the sync failing") << "claim" << true;
        QTest::newRow("upload, the sync failing") << "upload" << true;
    }

    // A claim and an upload are answered once on the disk: the -wal file has been synced since
    // their commit. (The store's own checkpoints every 100 ms sync it too, rarely within a request.)
    // A failed sync is never answered as a success.
    void durableAnswers()
    {
        QFETCH(QString, endpoint);
        QFETCH(bool, diskFails);
        WalSyncs::install();
        Backend backend;
        QCOMPARE(backend.create(sessionId, macKey).status, 200);
        json phone{{"session_id", sessionId}};
        phone["phone_token"] = endpoint == u"claim" ? "" : backend.claim();
        if (endpoint == u"upload")
            QCOMPARE(backend.post("ready", phone).status, 200);
        const int before = WalSyncs::count;
        WalSyncs::failing = diskFails;
        const int status = endpoint == u"claim"
                               ? backend.post("claim", phone).status
                               : backend.importer("upload", {{"transcript", "hi"}, {"file_name", "chat.txt"}}).status;
        WalSyncs::failing = false;
        QCOMPARE(status, diskFails ? 503 : 200);
        QVERIFY(WalSyncs::count > before);
    }

    // A service stopped while an answer waits for its sync (here 3 s, past the stop's grace)
    // sends nothing for it, and the sync that comes later finds nothing of the stopped server to
    // touch.
    void stoppedWhileAnAnswerWaits()
    {
        WalSyncs::install();
        auto backend = std::make_unique<Backend>();
        QCOMPARE(backend->create(sessionId, macKey).status, 200);
        WalSyncs::slowMs = 3000;
        Outcome claimed{-1, {}, 0};
        std::thread phone([&, port = backend->service->port()] {
            claimed = exchange(port, "127.0.0.1", httpRequest("claim", filledIn(R"({"session_id":"{ID}"})")));
        });
        // Committed, so its answer waits.
        QTRY_VERIFY_WITH_TIMEOUT(backend->dump().contains(QLatin1String(QByteArray("claimed").toHex())), 15000);
        WalSyncs::slowMs = 0;
        backend.reset();
        phone.join();
        QCOMPARE(claimed.status, 0);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int failures = 0;
    for (const StoreKind store : {StoreKind::sqlite, StoreKind::redis}) {
        storeUnderTest = store;
        qInfo("Sessions %s", store == StoreKind::redis ? "in a redis-server of the test's own" : "in SQLite");
        TestPairingService requests;
        failures += QTest::qExec(&requests, argc, argv);
    }
    storeUnderTest = StoreKind::sqlite;
    TestSqliteStore sqlite;
    failures += QTest::qExec(&sqlite, argc, argv);
    return failures;
}

#include "test_pairing_service.moc"
