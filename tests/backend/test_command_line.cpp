#include "PairingCrypto.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <qrencode.h>

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

using json = nlohmann::json;

namespace {

const std::string kKey(64, '7');
const std::string kTranscript = "[2024-03-05 09:07] Mum: Are we still on for lunch?\n"
                                "[2024-03-05 09:12] Me: Yes! See you at 1 \xE2\x80\x94 secret-word\n";

std::string newSessionId()
{
    std::string hex = PairingCrypto::randomHex(16);
    for (char &c : hex)
        c = char(std::toupper(c));
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20);
}

} // namespace

// The two programs as a developer runs them: vellora-backend on a free port, vellora-phone against it.
class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void phoneFailures_data();
    void phoneFailures();
    void phoneRunFromQrImage();

private:
    json importer(const char *endpoint, const std::string &id, json body = json::object());
    std::string createSession();

    QTemporaryDir m_dir;
    QProcess m_backend;
    QString m_base;
};

void TestCommandLine::initTestCase()
{
    m_backend.start(QStringLiteral(VELLORA_BACKEND_EXE),
                    {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"),
                     m_dir.filePath(QStringLiteral("sessions.sqlite"))});
    QVERIFY(m_backend.waitForStarted());
    QVERIFY(m_backend.waitForReadyRead(10000));
    const QString line = QString::fromUtf8(m_backend.readLine());
    QVERIFY2(line.startsWith(QLatin1String("vellora-backend listening on http://127.0.0.1:")), qPrintable(line));
    m_base = line.section(QLatin1Char(' '), 3, 3);
}

// SIGTERM stops the service cleanly; its log has a line per request and no secret in it.
void TestCommandLine::cleanupTestCase()
{
    m_backend.terminate();
    QVERIFY(m_backend.waitForFinished(10000));
    QCOMPARE(m_backend.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_backend.exitCode(), 0);
    QVERIFY(m_backend.readAllStandardOutput().contains("vellora-backend stopped"));
    const QByteArray log = m_backend.readAllStandardError();
    QVERIFY(log.contains("POST /vellora-pair-upload 200"));
    QVERIFY(!log.contains(QByteArray::fromStdString(kKey)));
    QVERIFY(!log.contains("secret-word"));
}

json TestCommandLine::importer(const char *endpoint, const std::string &id, json body)
{
    httplib::Client client(m_base.toStdString());
    body["session_id"] = id;
    body["mac_key"] = kKey;
    const auto result = client.Post(std::string("/") + endpoint, body.dump(), "application/json");
    return result ? json::parse(result->body, nullptr, false) : json();
}

std::string TestCommandLine::createSession()
{
    const std::string id = newSessionId();
    importer("vellora-pair-create", id,
             {{"mac_key_hash", PairingCrypto::toHex(PairingCrypto::sha256(kKey))}, {"client_version", "0.1.0"}});
    return id;
}

void TestCommandLine::phoneFailures_data()
{
    QTest::addColumn<QStringList>("arguments");  // {BASE}, {SESSION} and {DIR} are filled in
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("pollStatus");     // the importer's view afterwards

    QTest::newRow("no session") << QStringList{"--base", "{BASE}"} << 2 << "give exactly one of --image and --session"
                                << "pending";
    QTest::newRow("image without a code") << QStringList{"--base", "{BASE}", "--image", "{DIR}/blank.png"} << 3
                                          << "no QR code found" << "pending";
    QTest::newRow("backend unreachable") << QStringList{"--base", "http://127.0.0.1:1", "--session", "{SESSION}"} << 4
                                         << "vellora-pair-claim:" << "pending";
    QTest::newRow("unknown session")
        << QStringList{"--base", "{BASE}", "--session", "11111111-2222-4333-8444-555555555555"} << 5
        << "vellora-pair-claim: unknown pairing session" << "pending";
    QTest::newRow("nobody chooses") << QStringList{"--base", "{BASE}", "--session", "{SESSION}", "--timeout", "1"} << 6
                                    << "timed out waiting for the importer's choice" << "claimed";
    QTest::newRow("abort") << QStringList{"--base", "{BASE}", "--session", "{SESSION}", "--abort"} << 0
                           << "Aborted session" << "aborted";
}

void TestCommandLine::phoneFailures()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QString, pollStatus);

    QImage blank(200, 200, QImage::Format_RGB32);
    blank.fill(Qt::white);
    QVERIFY(blank.save(m_dir.filePath(QStringLiteral("blank.png"))));
    const std::string id = createSession();
    for (QString &arg : arguments)
        arg.replace(QLatin1String("{BASE}"), m_base)
            .replace(QLatin1String("{SESSION}"), QString::fromStdString(id))
            .replace(QLatin1String("{DIR}"), m_dir.path());

    QProcess phone;
    phone.start(QStringLiteral(VELLORA_PHONE_EXE), arguments);
    QVERIFY(phone.waitForFinished(20000));
    const QByteArray errors = phone.readAllStandardError();
    QCOMPARE(phone.exitCode(), exitCode);
    QVERIFY2(errors.contains(message.toUtf8()), errors.constData());
    QCOMPARE(QString::fromStdString(importer("vellora-pair-poll", id).value("status", "")), pollStatus);
}

void TestCommandLine::phoneRunFromQrImage()
{
    const std::string id = createSession();
    QRcode *code = QRcode_encodeString8bit(id.c_str(), 0, QR_ECLEVEL_M);
    QImage qr(code->width + 8, code->width + 8, QImage::Format_Grayscale8);
    qr.fill(255);
    for (int y = 0; y < code->width; ++y)
        for (int x = 0; x < code->width; ++x)
            if (code->data[y * code->width + x] & 1)
                qr.setPixel(x + 4, y + 4, qRgb(0, 0, 0));
    QRcode_free(code);
    const QString image = m_dir.filePath(QStringLiteral("qr.png"));
    const QString output = m_dir.filePath(QStringLiteral("out/chat.txt"));
    QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("out"))));
    QVERIFY(qr.scaled(qr.size() * 10).save(image));

    QProcess phone;
    phone.start(QStringLiteral(VELLORA_PHONE_EXE),
                {QStringLiteral("--base"), m_base, QStringLiteral("--image"), image, QStringLiteral("--output"), output});
    QVERIFY(phone.waitForStarted());
    const auto pollUntil = [&](const char *key, const std::string &value) {
        return QTest::qWaitFor([&] { return importer("vellora-pair-poll", id).value(key, "") == value; }, 10000);
    };
    QVERIFY(pollUntil("status", "claimed"));
    importer("vellora-pair-choose", id, {{"name", "Mum"}, {"handle", "+15550100"}, {"count", 2},
                                          {"first", "2024-03-05T09:07:41"}, {"last", "2024-03-05T09:12:05"}});
    QVERIFY(QTest::qWaitFor([&] { return !importer("vellora-pair-poll", id).value("upload_id", "").empty(); }, 10000));
    QCOMPARE(importer("vellora-pair-upload", id, {{"transcript", kTranscript}, {"file_name", "chat.txt"}})
                 .value("status", ""),
             std::string("uploaded"));

    QVERIFY(phone.waitForFinished(20000));
    const QByteArray errors = phone.readAllStandardError();
    QVERIFY2(phone.exitCode() == 0, errors.constData());
    QVERIFY(errors.contains("Chosen: Mum <+15550100>, 2 messages, 2024-03-05T09:07:41 to 2024-03-05T09:12:05"));
    QFile file(output);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray::fromStdString(kTranscript));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_command_line.moc"
