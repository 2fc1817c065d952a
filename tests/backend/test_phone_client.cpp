#include "DevCertificate.h"
#include "PairingCrypto.h"
#include "PairingService.h"
#include "PhoneClient.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <future>

namespace {
const std::string sessionId = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";
}

// A whole run over HTTP and HTTPS is in the end-to-end test, image decoding in the command-line
// test; these are what they can't reach.
class TestPhoneClient : public QObject {
    Q_OBJECT

private slots:
    void tlsTrust_data()
    {
        QTest::addColumn<bool>("trustAuthority");
        QTest::newRow("test authority added") << true;
        QTest::newRow("system trust only") << false;
    }

    // The test certificate is trusted only where its authority is added; nothing ignores TLS errors.
    void tlsTrust()
    {
        QFETCH(bool, trustAuthority);
        const DevCertificateFiles certs = writeDevCertificates(m_dir.path().toStdString());
        PairingServiceOptions options;
        options.certFile = certs.certFile;
        options.keyFile = certs.keyFile;
        PairingService service(options);
        service.start();
        PhoneClientOptions phoneOptions;
        if (trustAuthority)
            phoneOptions.caFile = certs.caFile;
        PhoneClient phone(service.baseUrl(), phoneOptions);
        try {
            phone.claim(sessionId);
            QFAIL("claimed a session that does not exist");
        } catch (const PhoneError &e) {
            // Through TLS the service answers "unknown pairing session"; otherwise the handshake fails.
            QCOMPARE(e.kind(), trustAuthority ? PhoneError::Kind::refused : PhoneError::Kind::transport);
            const char *const expected = trustAuthority ? "unknown pairing session" : "not trusted";
            QVERIFY2(QByteArray(e.what()).contains(expected), e.what());
        }
    }

    // The phone simulator's Ctrl-C: a wait on another thread ends at once.
    void cancelEndsWait()
    {
        std::atomic<int> choicePolls{0};
        PairingServiceOptions serviceOptions;
        serviceOptions.log = [&](const std::string &line) { choicePolls += line.find("vellora-pair-choice") != std::string::npos; };
        PairingService service(serviceOptions);
        service.start();
        const nlohmann::json create{{"session_id", sessionId},
                                    {"mac_key_hash", PairingCrypto::toHex(PairingCrypto::sha256("key"))},
                                    {"client_version", "0.1.0"}};
        QVERIFY(httplib::Client(service.baseUrl()).Post("/vellora-pair-create", create.dump(), "application/json"));

        PhoneClientOptions options;
        options.pollInterval = std::chrono::milliseconds(20);
        PhoneClient phone(service.baseUrl(), options);
        phone.claim(sessionId);
        auto waiting = std::async(std::launch::async, [&] { phone.waitForChoice(); });
        QTRY_VERIFY(choicePolls > 0);  // the wait is under way
        phone.cancel();
        try {
            waiting.get();
            QFAIL("the wait ended without a choice and without an error");
        } catch (const PhoneError &e) {
            QCOMPARE(e.kind(), PhoneError::Kind::cancelled);
        }
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestPhoneClient)
#include "test_phone_client.moc"
