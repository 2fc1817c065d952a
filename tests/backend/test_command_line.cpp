#include "CommandLine.h"
#include "PairingCrypto.h"
#include "QrCode.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <sqlite3.h>

#include <sstream>

#include <QHostAddress>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

using json = nlohmann::json;

namespace {
const std::string macKey(64, '7');
const std::string transcriptText = "[2024-03-05 09:07] Mum: Are we still on for lunch?\n"
                                "[2024-03-05 09:12] Me: Yes! See you at 1 \xE2\x80\x94 secret-word\n";

// The service's limits and timeouts as "field=value" words, durations in milliseconds.
QString limits(const PairingServiceOptions &o)
{
    const auto ms = [](auto duration) { return std::chrono::milliseconds(duration).count(); };
    std::ostringstream s;
    s << "port=" << o.port << " threads=" << o.threads << " idleTimeout=" << ms(o.idleTimeout)
      << "ms maxBodyBytes=" << o.maxBodyBytes << " maxRequestBytes=" << o.maxRequestBytes
      << " maxVersionBytes=" << o.maxVersionBytes << " maxFieldBytes=" << o.maxFieldBytes
      << " maxBodyBytesInFlight=" << o.maxBodyBytesInFlight << " minBytesPerSecond=" << o.minBytesPerSecond
      << " unknownSenderBytesPerSecond=" << o.unknownSenderBytesPerSecond << " rateWindow=" << ms(o.rateWindow) << "ms headerTimeout=" << ms(o.headerTimeout)
      << "ms connectionIdleTimeout=" << ms(o.connectionIdleTimeout) << "ms maxConnections=" << o.maxConnections
      << " maxConnectionsPerAddress=" << o.maxConnectionsPerAddress << " createBurst=" << o.createBurst
      << " createsPerSecond=" << o.createsPerSecond << " maxLiveSessions=" << o.maxLiveSessions
      << " trustedProxy=" << o.trustedProxy;
    return QString::fromStdString(s.str());
}

std::vector<std::string> words(const QString &arguments)
{
    std::vector<std::string> result;
    for (const QString &word : arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        result.push_back(word.toStdString());
    return result;
}
}

// The two programs as a developer runs them: vellora-backend on a free port, vellora-phone against it.
class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString db = m_dir.filePath(QStringLiteral("sessions.sqlite"));
        m_backend.start(QStringLiteral(VELLORA_BACKEND_EXE),
                        {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"), db});
        QVERIFY(m_backend.waitForReadyRead(10000));
        const QString line = QString::fromUtf8(m_backend.readLine());
        QVERIFY2(line.startsWith(QLatin1String("vellora-backend listening on http://127.0.0.1:")), qPrintable(line));
        m_base = line.section(QLatin1Char(' '), 3, 3);
    }

    // SIGTERM stops the service at once, though a client keeps an idle connection and another has
    // sent half a request; every session it acknowledged is in the store; the log has a line per
    // request and no secret in it.
    void cleanupTestCase()
    {
        httplib::Client idle(m_base.toStdString());
        idle.set_keep_alive(true);
        QVERIFY(idle.Post("/vellora-pair-poll", "{}", "application/json"));
        QTcpSocket halfSent;
        halfSent.connectToHost(QHostAddress::LocalHost, quint16(m_base.section(QLatin1Char(':'), 2).toUInt()));
        QVERIFY(halfSent.waitForConnected(5000));
        halfSent.write("POST /vellora-pair-poll HTTP/1.1\r\nContent-Length: 100\r\n\r\n{");
        QVERIFY(halfSent.waitForBytesWritten(5000));

        m_backend.terminate();
        // Well under the connections' own 20 s idle limit.
        QVERIFY(m_backend.waitForFinished(5000));
        QCOMPARE(m_backend.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_backend.exitCode(), 0);
        QVERIFY(m_backend.readAllStandardOutput().contains("vellora-backend stopped"));
        const QByteArray log = m_backend.readAllStandardError();
        QVERIFY(log.contains("POST /vellora-pair-upload 200"));
        QVERIFY(!log.contains(QByteArray::fromStdString(macKey)));
        QVERIFY(!log.contains("secret-word"));

        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open_v2(m_dir.filePath(QStringLiteral("sessions.sqlite")).toUtf8().constData(), &db,
                                 SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        for (const std::string &id : m_created) {
            sqlite3_stmt *stmt = nullptr;
            sqlite3_prepare_v2(db, "SELECT count(*) FROM session WHERE id = ?1", -1, &stmt, nullptr);
            sqlite3_bind_text(stmt, 1, id.c_str(), -1, SQLITE_TRANSIENT);
            QCOMPARE(sqlite3_step(stmt), SQLITE_ROW);
            QCOMPARE(sqlite3_column_int(stmt, 0), 1);
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
    }

    void phoneFailures_data()
    {
        QTest::addColumn<QString>("arguments");  // {BASE}, {SESSION} and {DIR} are filled in
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("pollStatus");  // the importer's view afterwards
        const auto row = [](const char *name, const char *arguments, int exitCode, const char *message,
                            const char *pollStatus) {
            QTest::newRow(name) << QString::fromLatin1(arguments) << exitCode << QString::fromLatin1(message)
                                << QString::fromLatin1(pollStatus);
        };
        row("image without a code", "--base {BASE} --image {DIR}/blank.png", 3, "no QR code found", "pending");
        row("nobody chooses", "--base {BASE} --session {SESSION} --timeout 1", 6,
            "timed out waiting for the importer's choice", "claimed");
        row("abort", "--base {BASE} --session {SESSION} --abort", 0, "Aborted session", "aborted");
    }

    void phoneFailures()
    {
        QFETCH(QString, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QFETCH(QString, pollStatus);

        QImage blank(200, 200, QImage::Format_Grayscale8);
        blank.fill(255);
        QVERIFY(blank.save(m_dir.filePath(QStringLiteral("blank.png"))));
        const std::string id = createSession();
        arguments.replace(QLatin1String("{BASE}"), m_base)
            .replace(QLatin1String("{SESSION}"), QString::fromStdString(id))
            .replace(QLatin1String("{DIR}"), m_dir.path());

        QProcess phone;
        phone.start(QStringLiteral(VELLORA_PHONE_EXE), arguments.split(QLatin1Char(' ')));
        QVERIFY(phone.waitForFinished(20000));
        const QByteArray errors = phone.readAllStandardError();
        QCOMPARE(phone.exitCode(), exitCode);
        QVERIFY2(errors.contains(message.toUtf8()), errors.constData());
        QCOMPARE(QString::fromStdString(importer("poll", id).value("status", "")), pollStatus);
    }

    void phoneRunFromQrImage()
    {
        const std::string id = createSession();
        const QString image = m_dir.filePath(QStringLiteral("qr.png"));
        const QString output = m_dir.filePath(QStringLiteral("chat.txt"));
        QVERIFY(QrCode::render(QByteArray::fromStdString(id)).save(image));

        QProcess phone;
        phone.start(QStringLiteral(VELLORA_PHONE_EXE), {QStringLiteral("--base"), m_base, QStringLiteral("--image"),
                                                         image, QStringLiteral("--output"), output});
        QVERIFY(QTest::qWaitFor([&] { return importer("poll", id).value("status", "") == "claimed"; }, 10000));
        importer("choose", id, {{"name", "Mum"}, {"handle", "+15550100"}, {"count", 2},
                                {"first", "2024-03-05T09:07:41"}, {"last", "2024-03-05T09:12:05"}});
        QVERIFY(QTest::qWaitFor([&] { return importer("poll", id).contains("upload_id"); }, 10000));
        const json uploaded = importer("upload", id, {{"transcript", transcriptText}, {"file_name", "chat.txt"}});
        QCOMPARE(uploaded.value("status", ""), std::string("uploaded"));

        QVERIFY(phone.waitForFinished(20000));
        const QByteArray errors = phone.readAllStandardError();
        QVERIFY2(phone.exitCode() == 0, errors.constData());
        QVERIFY(errors.contains("Chosen: Mum <+15550100>, 2 messages, 2024-03-05T09:07:41 to 2024-03-05T09:12:05"));
        QFile file(output);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray::fromStdString(transcriptText));
    }

    void backendOptions_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("change");  // the one word that differs from the defaults
        const auto row = [](const char *arguments, const char *change) {
            QTest::newRow(*arguments ? arguments : "defaults") << QString::fromLatin1(arguments)
                                                               << QString::fromLatin1(change);
        };
        row("", "");
        row("--port 0", "port=0");
        row("--threads 6", "threads=6");
        row("--session-ttl 7", "idleTimeout=7000ms");
        row("--max-body 101", "maxBodyBytes=101");
        row("--max-request 100", "maxRequestBytes=100");
        row("--max-version 65", "maxVersionBytes=65");
        row("--max-field 1025", "maxFieldBytes=1025");
        row("--max-in-flight 4096", "maxBodyBytesInFlight=4096");
        row("--min-rate 0", "minBytesPerSecond=0");
        row("--rate-window 3", "rateWindow=3000ms");
        row("--unknown-sender-rate 1000", "unknownSenderBytesPerSecond=1000");
        row("--header-timeout 4", "headerTimeout=4000ms");
        row("--idle-timeout 5", "connectionIdleTimeout=5000ms");
        row("--max-connections 11", "maxConnections=11");
        row("--max-connections-per-address 2", "maxConnectionsPerAddress=2");
        row("--create-burst 5", "createBurst=5");
        row("--creates-per-second 3", "createsPerSecond=3");
        row("--max-sessions 12", "maxLiveSessions=12");
        row("--trusted-proxy 10.0.0.1", "trustedProxy=10.0.0.1");
    }

    // Each option reaches its own field, in its own unit, and every other field keeps the
    // default --help states.
    void backendOptions()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, change);
        const QString defaults = QStringLiteral(
            "port=8787 threads=0 idleTimeout=900000ms maxBodyBytes=67108864 maxRequestBytes=65536 "
            "maxVersionBytes=64 maxFieldBytes=1024 maxBodyBytesInFlight=268435456 minBytesPerSecond=65536 "
            "unknownSenderBytesPerSecond=16777216 rateWindow=10000ms headerTimeout=10000ms connectionIdleTimeout=20000ms maxConnections=10000 "
            "maxConnectionsPerAddress=256 createBurst=60 createsPerSecond=10 maxLiveSessions=100000 trustedProxy=");
        QString expected = defaults;
        if (!change.isEmpty()) {
            expected.replace(QRegularExpression(QLatin1String("\\b") + change.section(QLatin1Char('='), 0, 0) +
                                                QLatin1String("=\\S*")),
                             change);
            QVERIFY(expected != defaults);
        }
        const BackendCommandLine parsed = parseBackendCommandLine(words(arguments));
        QCOMPARE(QString::fromStdString(parsed.error), QString());
        QCOMPARE(limits(parsed.service), expected);
    }

    void backendRefusals_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *arguments, const char *message) {
            QTest::newRow(arguments) << QString::fromLatin1(arguments) << QString::fromLatin1(message);
        };
        row("--max-request 0", "--max-request needs a whole number of at least 1");
        row("--session-ttl ten", "--session-ttl needs a whole number of at least 1");
        row("--rate-window 3s", "--rate-window needs a whole number of at least 1");
        row("--min-rate -1", "--min-rate needs a whole number of at least 0");
        row("--port 65536", "--port must be at most 65535");
        row("--port 4294975083", "--port must be at most 65535");
        row("--threads 4294967297", "--threads must be at most 4096");
        row("--session-ttl 99999999999999999999", "--session-ttl must be at most 1000000000000");
        row("--max-requests 100", "unknown option: --max-requests");
        row("--max-body", "unknown option or missing value: --max-body");
        row("--db x --in-memory", "--db and --in-memory exclude each other");
    }

    void backendRefusals()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, message);
        QCOMPARE(QString::fromStdString(parseBackendCommandLine(words(arguments)).error), message);
    }

    // The program prints a refusal with the usage and exits 2; --help prints the usage and exits 0.
    void backendProgramRefusesAndHelps()
    {
        QProcess backend;
        backend.start(QStringLiteral(VELLORA_BACKEND_EXE), {QStringLiteral("--max-requests"), QStringLiteral("100")});
        QVERIFY(backend.waitForFinished(10000));
        QCOMPARE(backend.exitCode(), 2);
        QCOMPARE(backend.readAllStandardError(), "vellora-backend: unknown option: --max-requests\n" + QByteArray(backendUsage));
        backend.start(QStringLiteral(VELLORA_BACKEND_EXE), {QStringLiteral("--help")});
        QVERIFY(backend.waitForFinished(10000));
        QCOMPARE(backend.exitCode(), 0);
        QVERIFY(backend.readAllStandardOutput().startsWith("Usage: vellora-backend [options]\n"));
    }

private:
    json importer(const std::string &endpoint, const std::string &id, json body = json::object())
    {
        body["session_id"] = id;
        body["mac_key"] = macKey;
        httplib::Client client(m_base.toStdString());
        const auto result = client.Post("/vellora-pair-" + endpoint, body.dump(), "application/json");
        return result ? json::parse(result->body, nullptr, false) : json();
    }

    std::string createSession()
    {
        const std::string id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
        const json created = importer("create", id, {{"mac_key_hash", PairingCrypto::toHex(PairingCrypto::sha256(macKey))},
                                                     {"client_version", "0.1.0"}});
        if (created.value("status", "") == "pending")
            m_created.push_back(id);
        return id;
    }

    QTemporaryDir m_dir;
    QProcess m_backend;
    std::vector<std::string> m_created;  // sessions the service acknowledged
    QString m_base;
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_command_line.moc"
