// The real controller against the real pairing service over TLS on 127.0.0.1, its test
// authority trusted explicitly, with the phone simulator reading the session id from the QR
// code. The built importer's own run, over plain HTTP, is test_importer_run.
#include "DevCertificate.h"
#include "PairingClient.h"
#include "PairingService.h"
#include "PhoneClient.h"
#include "TestEnv.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using namespace Qt::StringLiterals;

using namespace std::chrono_literals;
using Step = PairingClient::Step;

class TestEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void wholeRun()
    {
        qunsetenv("XDG_DATA_HOME");
        ScopedHome home;
        writeTwoPartners(home.chatDbPath());

        QTemporaryDir certificates;
        const DevCertificateFiles files = writeDevCertificates(certificates.path().toStdString());
        PairingServiceOptions options;
        options.certFile = files.certFile;
        options.keyFile = files.keyFile;
        PairingService service(options);
        service.start();
        const std::string base = service.baseUrl();
        QVERIFY(base.starts_with("https://"));

        // Made after the service, so its kept-alive connection closes before the service stops.
        PairingClient client;
        client.setPollInterval(30ms);
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.addCaCertificates(QSslCertificate::fromPath(QString::fromStdString(files.caFile)));
        client.setSslConfiguration(ssl);
        client.setApiBase(QString::fromStdString(base));

        client.begin();
        QVERIFY(QTest::qWaitFor([&] { return client.step() == Step::scan(); }, 10000));
        const QString qrFile = home.tmp() + u"/qr.png"_s;
        QVERIFY(client.qrImage().save(qrFile));

        // The phone, on its own thread: scan, claim, wait for the choice, get ready, fetch.
        std::optional<ConversationChoice> choice;
        std::optional<ReceivedTranscript> received;
        std::string phoneError;
        std::thread phone([&] {
            try {
                PhoneClient device(base, {.caFile = files.caFile, .pollInterval = 20ms, .waitTimeout = 20s});
                device.claim(PhoneClient::sessionIdFromImage(qrFile.toStdString()));
                choice = device.waitForChoice();
                device.ready();
                received = device.waitForTranscript();
                device.confirmReceived();
            } catch (const std::exception &e) {
                phoneError = e.what();
            }
        });
        const auto joinPhone = qScopeGuard([&] { // a failed check must not leave it running
            if (phone.joinable())
                phone.join();
        });

        QVERIFY(QTest::qWaitFor([&] { return client.step() == Step::pick(); }, 10000));
        const Conversation partner = client.conversations().first();
        QCOMPARE(partner.handle, mumHandle);
        client.choose(partner);
        QVERIFY2(QTest::qWaitFor([&] { return client.step() == Step::done(); }, 20000),
                 qPrintable(client.step().toString()));
        phone.join();
        QVERIFY2(phoneError.empty(), phoneError.c_str());

        QVERIFY(choice);
        QCOMPARE(QString::fromStdString(choice->handle), partner.handle);
        QCOMPARE(choice->count, partner.messageCount);
        QVERIFY(received);
        QCOMPARE(received->fileName, std::string("chat.txt"));
        QCOMPARE(QByteArray::fromStdString(received->text), transcriptOf(home.chatDbPath(), partner.handle));
        QTRY_VERIFY(home.snapshotDirs().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "test_end_to_end.moc"
