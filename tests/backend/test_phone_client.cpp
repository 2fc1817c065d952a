#include "DevCertificate.h"
#include "PairingCrypto.h"
#include "PairingService.h"
#include "PhoneClient.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <qrencode.h>

#include <QEventLoop>
#include <QImage>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPainter>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QtTest>

#include <future>
#include <thread>

using json = nlohmann::json;

namespace {

const std::string kId = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";
const std::string kKey(64, 'a');

// The importer's QR code as it shows it: level M, 8-bit, a quiet zone of four modules.
QImage qrImage(const std::string &text, int scale)
{
    QRcode *code = QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_M);
    const int size = (code->width + 8) * scale;
    QImage image(size, size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < code->width; ++y)
        for (int x = 0; x < code->width; ++x)
            if (code->data[y * code->width + x] & 1)
                painter.fillRect((x + 4) * scale, (y + 4) * scale, scale, scale, Qt::black);
    QRcode_free(code);
    return image;
}

} // namespace

class TestPhoneClient : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void sessionIdFromImage_data();
    void sessionIdFromImage();
    void pairingRun_data();
    void pairingRun();
    void tlsTrust_data();
    void tlsTrust();
    void waitEnds_data();
    void waitEnds();

private:
    QTemporaryDir m_dir;
    DevCertificateFiles m_certs;
};

void TestPhoneClient::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_certs = writeDevCertificates(m_dir.path().toStdString());
}

void TestPhoneClient::sessionIdFromImage_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("scale");  // 0: an image without a code; -1: not an image at all
    QTest::addColumn<bool>("found");
    QTest::newRow("png, as shown") << "qr.png" << 10 << true;
    QTest::newRow("png, two pixels a module") << "small.png" << 2 << true;
    QTest::newRow("jpeg") << "qr.jpg" << 6 << true;
    QTest::newRow("blank image") << "blank.png" << 0 << false;
    QTest::newRow("not an image") << "text.png" << -1 << false;
    QTest::newRow("missing file") << "" << -1 << false;
}

void TestPhoneClient::sessionIdFromImage()
{
    QFETCH(QString, fileName);
    QFETCH(int, scale);
    QFETCH(bool, found);
    const QString path = m_dir.filePath(fileName.isEmpty() ? QStringLiteral("absent.png") : fileName);
    if (scale > 0) {
        QVERIFY(qrImage(kId, scale).save(path));
    } else if (scale == 0) {
        QImage blank(300, 300, QImage::Format_RGB32);
        blank.fill(Qt::white);
        QVERIFY(blank.save(path));
    } else if (!fileName.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("3F2504E0-4F89-11D3-9A0C-0305E82C3301");
    }

    try {
        const std::string id = PhoneClient::sessionIdFromImage(path.toStdString());
        QVERIFY(found);
        QCOMPARE(id, kId);
    } catch (const PhoneError &e) {
        QVERIFY2(!found, e.what());
        QCOMPARE(e.kind(), PhoneError::Kind::BadImage);
    }
}

void TestPhoneClient::pairingRun_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("http") << false;
    QTest::newRow("https, trusting the test authority") << true;
}

// The phone runs on its own thread, the importer's requests come from this one, as in the app.
void TestPhoneClient::pairingRun()
{
    QFETCH(bool, tls);
    PairingServiceOptions options;
    if (tls) {
        options.certFile = m_certs.certFile;
        options.keyFile = m_certs.keyFile;
    }
    PairingService service(options);
    service.start();
    QCOMPARE(QString::fromStdString(service.baseUrl()).startsWith(QLatin1String("https://")), tls);

    httplib::Client importer(service.baseUrl());
    importer.set_ca_cert_path(m_certs.caFile.c_str());
    const auto post = [&](const char *endpoint, json body) {
        body["session_id"] = kId;
        body["mac_key"] = kKey;
        const auto result = importer.Post(std::string("/") + endpoint, body.dump(), "application/json");
        return result ? json::parse(result->body, nullptr, false) : json();
    };
    const auto pollUntil = [&](const std::function<bool(const json &)> &done) {
        for (int i = 0; i < 500; ++i) {
            if (done(post("vellora-pair-poll", {})))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    const json created = post("vellora-pair-create", {{"mac_key_hash", PairingCrypto::toHex(PairingCrypto::sha256(kKey))},
                                                      {"client_version", "0.1.0"}});
    QCOMPARE(created.value("status", ""), std::string("pending"));

    PhoneClientOptions phoneOptions;
    phoneOptions.caFile = m_certs.caFile;
    phoneOptions.pollInterval = std::chrono::milliseconds(10);
    phoneOptions.waitTimeout = std::chrono::seconds(20);
    PhoneClient phone(service.baseUrl(), phoneOptions);
    ConversationChoice choice;
    ReceivedTranscript received;
    auto phoneSide = std::async(std::launch::async, [&] {
        phone.claim(kId);
        choice = phone.waitForChoice();
        phone.ready();
        received = phone.waitForTranscript();
    });

    QVERIFY(pollUntil([](const json &a) { return a.value("status", "") == "claimed"; }));
    post("vellora-pair-choose", {{"name", "Mum"}, {"handle", "mum@example.com"}, {"count", 12345},
                                 {"first", nullptr}, {"last", "2024-03-05T09:12:05"}});
    QVERIFY(pollUntil([](const json &a) { return !a.value("upload_id", "").empty(); }));
    const std::string transcript = "[2024-03-05 09:12] Me: Yes! See you at 1\n";
    QCOMPARE(post("vellora-pair-upload", {{"transcript", transcript}, {"file_name", "chat.txt"}}).value("status", ""),
             std::string("uploaded"));

    phoneSide.get();
    QCOMPARE(choice.name, std::string("Mum"));
    QCOMPARE(choice.handle, std::string("mum@example.com"));
    QCOMPARE(choice.count, std::int64_t(12345));
    QVERIFY(!choice.first);
    QCOMPARE(choice.last, std::optional<std::string>("2024-03-05T09:12:05"));
    QCOMPARE(received.text, transcript);
    QCOMPARE(received.fileName, std::string("chat.txt"));
}

void TestPhoneClient::tlsTrust_data()
{
    QTest::addColumn<bool>("qt");
    QTest::addColumn<bool>("trustAuthority");
    QTest::newRow("phone, authority added") << false << true;
    QTest::newRow("phone, system trust only") << false << false;
    QTest::newRow("Qt, authority added") << true << true;
    QTest::newRow("Qt, system trust only") << true << false;
}

// The test certificate is trusted only where its authority is added; nothing ignores TLS errors.
void TestPhoneClient::tlsTrust()
{
    QFETCH(bool, qt);
    QFETCH(bool, trustAuthority);
    PairingServiceOptions options;
    options.certFile = m_certs.certFile;
    options.keyFile = m_certs.keyFile;
    PairingService service(options);
    service.start();

    if (!qt) {
        PhoneClientOptions phoneOptions;
        if (trustAuthority)
            phoneOptions.caFile = m_certs.caFile;
        PhoneClient phone(service.baseUrl(), phoneOptions);
        try {
            phone.claim(kId);
            QFAIL("claimed a session that does not exist");
        } catch (const PhoneError &e) {
            // Through TLS the service answers "unknown pairing session"; otherwise the handshake fails.
            QCOMPARE(e.kind(), trustAuthority ? PhoneError::Kind::Refused : PhoneError::Kind::Transport);
            QVERIFY2(QByteArray(e.what()).contains(trustAuthority ? "unknown pairing session" : "not trusted"), e.what());
        }
        return;
    }

    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(QString::fromStdString(service.baseUrl()) + QStringLiteral("/vellora-pair-create")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    if (trustAuthority) {
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        QVERIFY(ssl.addCaCertificates(QString::fromStdString(m_certs.caFile)));
        request.setSslConfiguration(ssl);
    }
    const json body{{"session_id", kId}, {"mac_key_hash", PairingCrypto::toHex(PairingCrypto::sha256(kKey))},
                    {"client_version", "0.1.0"}};
    QNetworkReply *reply = manager.post(request, QByteArray::fromStdString(body.dump()));
    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    QVERIFY(reply->isFinished());
    QCOMPARE(reply->error(), trustAuthority ? QNetworkReply::NoError : QNetworkReply::SslHandshakeFailedError);
    if (trustAuthority)
        QCOMPARE(reply->readAll(), QByteArray(R"({"status":"pending"})"));
    delete reply;
}

void TestPhoneClient::waitEnds_data()
{
    QTest::addColumn<bool>("cancel");
    QTest::newRow("cancelled from another thread") << true;
    QTest::newRow("out of time") << false;
}

void TestPhoneClient::waitEnds()
{
    QFETCH(bool, cancel);
    PairingService service;
    service.start();
    httplib::Client importer(service.baseUrl());
    importer.Post("/vellora-pair-create",
                  json{{"session_id", kId}, {"mac_key_hash", PairingCrypto::toHex(PairingCrypto::sha256(kKey))},
                       {"client_version", "0.1.0"}}.dump(),
                  "application/json");

    PhoneClientOptions options;
    options.pollInterval = std::chrono::milliseconds(20);
    options.waitTimeout = cancel ? std::chrono::minutes(10) : std::chrono::milliseconds(100);
    PhoneClient phone(service.baseUrl(), options);
    phone.claim(kId);
    auto waiting = std::async(std::launch::async, [&] { phone.waitForChoice(); });
    if (cancel) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        phone.cancel();
    }
    try {
        waiting.get();
        QFAIL("the wait ended without a choice and without an error");
    } catch (const PhoneError &e) {
        QCOMPARE(e.kind(), cancel ? PhoneError::Kind::Cancelled : PhoneError::Kind::TimedOut);
    }
}

QTEST_GUILESS_MAIN(TestPhoneClient)
#include "test_phone_client.moc"
