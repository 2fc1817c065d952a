#include "PairingCrypto.h"
#include "QrCode.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <sqlite3.h>

#include <QHostAddress>
#include <QImage>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

using json = nlohmann::json;

namespace {
const std::string macKey(64, '7');
const std::string transcriptText = "[2024-03-05 09:07] Mum: Are we still on for lunch?\n"
                                "[2024-03-05 09:12] Me: Yes! See you at 1 \xE2\x80\x94 secret-word\n";
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
