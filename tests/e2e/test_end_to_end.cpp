// The real controller against the real pairing service on 127.0.0.1, with the phone
// simulator reading the session id from the QR code on the screen.
#include "ChatDatabase.h"
#include "DevCertificate.h"
#include "FixtureDb.h"
#include "PairingClient.h"
#include "PairingService.h"
#include "PhoneClient.h"
#include "TestEnv.h"
#include "Transcript.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using namespace std::chrono_literals;
using Step = PairingClient::Step;

class TestEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void wholeRun_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("http") << false;
        QTest::newRow("https, test authority trusted explicitly") << true;
    }

    void wholeRun()
    {
        QFETCH(bool, tls);
        qunsetenv("XDG_DATA_HOME");
        ScopedHome home;
        {
            FixtureDb db(home.chatDbPath());
            const qint64 partner = db.addHandle(QStringLiteral("+447700900123"));
            const qint64 other = db.addHandle(QStringLiteral("other@example.com"));
            const qint64 chat = db.addChat({partner});
            const qint64 otherChat = db.addChat({other});
            db.addMessage(chat, 731000000LL * 1000000000LL, false, QStringLiteral("Shall we? \U0001F37B"));
            db.addMessage(chat, 731000100LL * 1000000000LL, true, std::nullopt,
                          FixtureDb::archiveBody(QStringLiteral("  Yes \u2014 at the \u05E9\u05DC\u05D5\u05DD bar\nsix?  ")));
            db.addMessage(otherChat, 700000000, false, QStringLiteral("not this one"));
        }

        QTemporaryDir certificates;
        PairingServiceOptions options;
        PhoneClientOptions phoneOptions;
        phoneOptions.pollInterval = 20ms;
        phoneOptions.waitTimeout = 20s;
        PairingClient client;
        client.setPollInterval(30ms);
        if (tls) {
            const DevCertificateFiles files = writeDevCertificates(certificates.path().toStdString());
            options.certFile = files.certFile;
            options.keyFile = files.keyFile;
            phoneOptions.caFile = files.caFile;
            QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
            ssl.addCaCertificates(QSslCertificate::fromPath(QString::fromStdString(files.caFile)));
            client.setSslConfiguration(ssl);
        }
        PairingService service(options);
        service.start();
        const std::string base = service.baseUrl();
        QCOMPARE(QString::fromStdString(base).startsWith("https://"), tls);
        client.setApiBase(QString::fromStdString(base));

        client.begin();
        QVERIFY(QTest::qWaitFor([&] { return client.step() == Step::scan(); }, 10000));
        const QString qrFile = home.tmp() + "/qr.png";
        QVERIFY(client.qrImage().save(qrFile));

        // The phone, on its own thread: scan, claim, wait for the choice, get ready, fetch.
        std::optional<ConversationChoice> choice;
        std::optional<ReceivedTranscript> received;
        std::string phoneError;
        std::thread phone([&] {
            try {
                PhoneClient device(base, phoneOptions);
                device.claim(PhoneClient::sessionIdFromImage(qrFile.toStdString()));
                choice = device.waitForChoice();
                device.ready();
                received = device.waitForTranscript();
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
        QCOMPARE(partner.handle, QStringLiteral("+447700900123"));
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
        const QByteArray expected = [&] {
            const ChatDatabase snapshot(home.chatDbPath());
            return Transcript::build(snapshot.loadMessages(partner), partner.displayName).toUtf8();
        }();
        QCOMPARE(QByteArray::fromStdString(received->text), expected);
        QVERIFY(expected.contains("Yes \xE2\x80\x94 at the"));
        QTRY_VERIFY(home.snapshotDirs().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "test_end_to_end.moc"
