#include "AppInfo.h"
#include "ChatDatabase.h"
#include "FixtureDb.h"
#include "PairingClient.h"
#include "Platform.h"
#include "PhoneClient.h"
#include "ScriptedServer.h"
#include "TestEnv.h"
#include "Transcript.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

using namespace std::chrono_literals;
using Step = PairingClient::Step;
using Answer = ScriptedServer::Answer;

Q_DECLARE_METATYPE(Step)

QString decodeQr(const QImage &image)
{
    return QString::fromStdString(PhoneClient::sessionIdFromImage(image));
}

char *toString(const Step &step)
{
    return qstrdup(qPrintable(step.toString()));
}

namespace {
const QString create = QStringLiteral("vellora-pair-create");
const QString poll = QStringLiteral("vellora-pair-poll");
const QString choose = QStringLiteral("vellora-pair-choose");
const QString upload = QStringLiteral("vellora-pair-upload");
const QString dbPrefix = QStringLiteral("Couldn't open the Messages database: ");

Answer json(const char *body, int status = 200)
{
    return Answer{status, body, 0ms};
}

QStringList keysOf(const QJsonObject &object)
{
    QStringList keys = object.keys();
    keys.sort();
    return keys;
}

// Deletes the live database while contacts load, i.e. after the access probe said yes.
class DatabaseRemover final : public ContactSource {
public:
    explicit DatabaseRemover(QString path) : m_path(std::move(path)) {}
    QList<ContactCard> fetch() override
    {
        QFile::remove(m_path);
        return {};
    }

private:
    QString m_path;
};
} // namespace

class TestPairingClient : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScopedHome> m_home;
    std::unique_ptr<ScriptedServer> m_server;

    void writeFixture()
    {
        FixtureDb db(m_home->chatDbPath());
        const qint64 mumSms = db.addHandle(QStringLiteral("+15551230001"), QStringLiteral("SMS"));
        const qint64 mumIm = db.addHandle(QStringLiteral("+15551230001"));
        const qint64 friendHandle = db.addHandle(QStringLiteral("friend@example.com"));
        const qint64 chat1 = db.addChat({mumSms}, QStringLiteral("SMS"));
        const qint64 chat2 = db.addChat({mumIm});
        const qint64 chat3 = db.addChat({friendHandle});
        db.addMessage(chat1, 700000000LL * 1000000000LL, false, QStringLiteral("Are we still on for lunch?"));
        db.addMessage(chat2, 700000300LL * 1000000000LL, true, QStringLiteral("Yes!\nSee you at 1"));
        db.addMessage(chat1, 700000600LL * 1000000000LL, false, std::nullopt,
                      FixtureDb::archiveBody(QStringLiteral("Caf\u00e9 \U0001F600")));
        db.addMessage(chat3, 690000000, false, QStringLiteral("hello"));
    }

    std::unique_ptr<PairingClient> makeClient(const QString &base = {})
    {
        auto client = std::make_unique<PairingClient>();
        client->setApiBase(base.isEmpty() ? m_server->baseUrl() : base);
        client->setPollInterval(30ms);
        client->setTransferTimeout(5000ms);
        return client;
    }

    static bool waitForStep(const PairingClient &client, const Step &step, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return client.step() == step; }, timeoutMs);
    }

    // Brings a client to `pick` with the first conversation available.
    void runToPick(PairingClient &client)
    {
        m_server->enqueue(poll, json(R"({"status":"claimed"})"));
        client.begin();
        QVERIFY(waitForStep(client, Step::pick()));
    }

    // Brings the client to the point where a request to `endpoint` is in flight, held by the
    // server for the answer's delay.
    void holdRequest(PairingClient &client, const QString &endpoint, const Answer &held)
    {
        if (endpoint == create) {
            m_server->enqueue(create, held);
            client.begin();
            QVERIFY(m_server->waitForRequests(create, 1));
            return;
        }
        runToPick(client);
        if (endpoint == poll) {
            // Every poll from now on is held; the next one counted is surely one of them.
            m_server->setDefault(poll, Answer{200, R"({"status":"pending"})", held.delay});
            const int polls = int(m_server->requests(poll).size());
            QVERIFY(m_server->waitForRequests(poll, polls + 1));
            return;
        }
        m_server->enqueue(endpoint, held);
        client.choose(client.conversations().first());
        if (endpoint == upload)
            m_server->enqueue(poll, json(R"({"upload_id":"u"})"));
        QVERIFY(m_server->waitForRequests(endpoint, 1));
    }

    QString expectedTranscript(const Conversation &conversation) const
    {
        const ChatDatabase snapshot(m_home->chatDbPath());
        return Transcript::build(snapshot.loadMessages(conversation), conversation.displayName);
    }

private slots:
    void init()
    {
        qunsetenv("XDG_DATA_HOME");
        m_home = std::make_unique<ScopedHome>();
        m_server = std::make_unique<ScriptedServer>();
        writeFixture();
    }

    void cleanup()
    {
        // Whatever path the test took, no snapshot of the history may stay behind.
        QTRY_VERIFY_WITH_TIMEOUT(m_home->snapshotDirs().isEmpty(), 5000);
        m_server.reset();
        m_home.reset();
    }

    void wholeRunSendsExactlyTheProtocol()
    {
        auto client = makeClient();
        m_server->enqueue(poll, json(R"({"status":"pending"})"));
        m_server->enqueue(poll, json(R"({"status":"claimed"})"));
        client->begin();
        QCOMPARE(client->step(), Step::starting());
        QVERIFY(waitForStep(*client, Step::pick()));

        // The create request: exactly three string keys, the key's hash, never the key.
        const auto creates = m_server->requests(create);
        QCOMPARE(creates.size(), 1);
        const QJsonObject created = creates[0].json;
        QCOMPARE(creates[0].contentType, QByteArray("application/json"));
        QCOMPARE(keysOf(created), QStringList({"client_version", "mac_key_hash", "session_id"}));
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"))
                    .match(created["session_id"].toString())
                    .hasMatch());
        QCOMPARE(created["session_id"].toString(), client->sessionId());
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(client->macKey()).hasMatch());
        QCOMPARE(created["mac_key_hash"].toString(),
                 QString::fromLatin1(
                     QCryptographicHash::hash(client->macKey().toLatin1(), QCryptographicHash::Sha256).toHex()));
        QCOMPARE(created["client_version"].toString(), AppInfo::version());
        QVERIFY(!creates[0].body.contains(client->macKey().toLatin1()));

        // The QR code carries the session id and nothing else.
        QCOMPARE(decodeQr(client->qrImage()), client->sessionId());

        // Mum's two chats (two services) are one conversation, listed first (latest message).
        QCOMPARE(client->conversations().size(), 2);
        const Conversation mum = client->conversations().first();
        QCOMPARE(mum.handle, QStringLiteral("+15551230001"));
        QCOMPARE(mum.chatRowIds.size(), 2);

        client->choose(mum);
        QCOMPARE(client->step(), Step::finishing());
        QVERIFY(m_server->waitForRequests(choose, 1));
        const QJsonObject chosen = m_server->requests(choose)[0].json;
        QCOMPARE(keysOf(chosen), QStringList({"count", "first", "handle", "last", "mac_key", "name", "session_id"}));
        QVERIFY(chosen["count"].isDouble());
        QCOMPARE(chosen["count"].toInteger(), qint64(3));
        QCOMPARE(chosen["first"].toString(), DateFmt::isoFormatter().string(*mum.firstMessageDate));
        QCOMPARE(chosen["last"].toString(), DateFmt::isoFormatter().string(*mum.lastMessageDate));
        QCOMPARE(chosen["mac_key"].toString(), client->macKey());
        QCOMPARE(chosen["handle"].toString(), mum.handle);

        m_server->enqueue(poll, json(R"({"status":"claimed","upload_id":"u-1"})"));
        QVERIFY(waitForStep(*client, Step::done()));
        const auto uploads = m_server->requests(upload);
        QCOMPARE(uploads.size(), 1);
        const QJsonObject uploaded = uploads[0].json;
        QCOMPARE(keysOf(uploaded), QStringList({"file_name", "mac_key", "session_id", "transcript"}));
        QCOMPARE(uploaded["file_name"].toString(), QStringLiteral("chat.txt"));
        QCOMPARE(uploaded["transcript"].toString().toUtf8(), expectedTranscript(mum).toUtf8());
        QVERIFY(uploaded["transcript"].toString().contains(QStringLiteral("Caf\u00e9 \U0001F600")));

        // Polling stopped with the upload.
        QTest::qWait(200);
        for (const auto &request : m_server->requests(poll))
            QVERIFY(request.receivedAt < uploads[0].receivedAt);
        QVERIFY(!client->isPolling());
    }

    void chooseSendsNullDates()
    {
        auto client = makeClient();
        runToPick(*client);
        Conversation undated = client->conversations().first();
        undated.firstMessageDate.reset();
        undated.lastMessageDate.reset();
        client->choose(undated);
        QVERIFY(m_server->waitForRequests(choose, 1));
        const QJsonObject chosen = m_server->requests(choose)[0].json;
        QVERIFY(chosen.contains("first") && chosen["first"].isNull());
        QVERIFY(chosen.contains("last") && chosen["last"].isNull());
    }

    void createAnswers_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<Step>("expected");

        const Step page = Step::updateRequired(PairingClient::downloadPage);
        QTest::newRow("address does not parse") << "not a url" << 200 << QByteArray() << Step::failed(dbPrefix + "bad url");
        QTest::newRow("connection refused") << "http://127.0.0.1:1" << 200 << QByteArray() << Step::failed("Connection refused");
        QTest::newRow("404 with a text error") << "" << 404 << QByteArray(R"({"error":"no such session"})")
                                               << Step::failed(dbPrefix + "no such session");
        QTest::newRow("500, not JSON") << "" << 500 << QByteArray("<html>oops") << Step::failed(dbPrefix + "request failed (500)");
        QTest::newRow("number under error") << "" << 400 << QByteArray(R"({"error":42})") << Step::failed(dbPrefix + "request failed (400)");
        QTest::newRow("200, empty body") << "" << 200 << QByteArray() << Step::scan();
        QTest::newRow("200, not JSON") << "" << 200 << QByteArray("ok") << Step::scan();
        QTest::newRow("200 with an error key") << "" << 200 << QByteArray(R"({"error":"ignored"})") << Step::scan();
        QTest::newRow("upper case word") << "" << 200 << QByteArray(R"({"status":"UPDATE_REQUIRED"})") << Step::scan();
        QTest::newRow("update, no address") << "" << 200 << QByteArray(R"({"status":"update_required"})") << page;
        QTest::newRow("update, number address") << "" << 200 << QByteArray(R"({"status":"update_required","download_url":7})") << page;
        QTest::newRow("update, text address") << "" << 200
                                              << QByteArray("{\"status\":\"update_required\",\"download_url\":\"https://x.test/dl\"}")
                                              << Step::updateRequired("https://x.test/dl");
        QTest::newRow("update, empty address") << "" << 200 << QByteArray(R"({"status":"update_required","download_url":""})")
                                               << Step::updateRequired("");
    }

    void createAnswers()
    {
        QFETCH(QString, base);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(Step, expected);

        m_server->enqueue(create, Answer{status, body, 0ms});
        auto client = makeClient(base);
        client->begin();
        QVERIFY2(waitForStep(*client, expected), qPrintable(client->step().toString()));
        QCOMPARE(client->conversations().size(), 2);  // listed before the session exists
        if (expected == Step::scan()) {
            QVERIFY(!client->qrImage().isNull());
            QVERIFY(m_server->waitForRequests(poll, 1));
        } else {
            QVERIFY(client->qrImage().isNull());
            QTest::qWait(100);
            QCOMPARE(m_server->requests(poll).size(), 0);
        }
    }

    void pollAnswers_data()
    {
        QTest::addColumn<bool>("chooseFirst");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("status");
        QTest::addColumn<Step>("expected");
        QTest::addColumn<bool>("keepsPolling");

        const Step interrupted = Step::failed(PairingClient::interruptedMessage);
        QTest::newRow("aborted with upload id") << true << QByteArray(R"({"status":"aborted","upload_id":"u"})") << 200 << interrupted << false;
        QTest::newRow("claimed while finishing") << true << QByteArray(R"({"status":"claimed"})") << 200 << Step::finishing() << true;
        QTest::newRow("claimed and upload id, nothing chosen") << false << QByteArray(R"({"status":"claimed","upload_id":"u"})") << 200 << Step::pick() << true;
        QTest::newRow("empty upload id") << true << QByteArray(R"({"upload_id":""})") << 200 << Step::finishing() << true;
        QTest::newRow("number upload id") << true << QByteArray(R"({"upload_id":5})") << 200 << Step::finishing() << true;
        QTest::newRow("status not a text") << true << QByteArray(R"({"status":3})") << 200 << Step::finishing() << true;
        QTest::newRow("poll 500") << true << QByteArray("nope") << 500 << Step::failed(dbPrefix + "request failed (500)") << false;
        QTest::newRow("poll 403 with error") << true << QByteArray(R"({"error":"wrong key"})") << 403 << Step::failed(dbPrefix + "wrong key") << false;
    }

    void pollAnswers()
    {
        QFETCH(bool, chooseFirst);
        QFETCH(QByteArray, answer);
        QFETCH(int, status);
        QFETCH(Step, expected);
        QFETCH(bool, keepsPolling);

        auto client = makeClient();
        runToPick(*client);
        if (chooseFirst) {
            client->choose(client->conversations().first());
            QVERIFY(m_server->waitForRequests(choose, 1));
        }
        const int before = int(m_server->requests(poll).size());
        m_server->enqueue(poll, Answer{status, answer, 0ms});
        QVERIFY(m_server->waitForRequests(poll, before + 1));
        QVERIFY2(waitForStep(*client, expected), qPrintable(client->step().toString()));
        const int after = int(m_server->requests(poll).size());
        QTest::qWait(150);
        QCOMPARE(m_server->requests(poll).size() > after, keepsPolling);
        QCOMPARE(client->isPolling(), keepsPolling);
        QCOMPARE(m_server->requests(upload).size(), 0);
    }

    void failedChoiceReportStillUploads()
    {
        auto client = makeClient();
        runToPick(*client);
        m_server->enqueue(choose, json(R"({"error":"too late"})", 409));
        client->choose(client->conversations().first());
        QVERIFY(waitForStep(*client, Step::failed(dbPrefix + "too late")));
        QVERIFY(client->isPolling());
        m_server->setDefault(poll, json(R"({"status":"claimed","upload_id":"u"})"));
        QVERIFY(waitForStep(*client, Step::done()));
        QCOMPARE(m_server->requests(upload).size(), 1);
    }

    void failedUploadRetriedAtNextPoll()
    {
        auto client = makeClient();
        runToPick(*client);
        client->choose(client->conversations().first());
        m_server->enqueue(upload, json("", 503));
        QList<Step> seen;
        connect(client.get(), &PairingClient::stepChanged, this, [&] { seen.append(client->step()); });
        m_server->setDefault(poll, json(R"({"upload_id":"u"})"));
        QVERIFY(waitForStep(*client, Step::done()));
        QCOMPARE(m_server->requests(upload).size(), 2);
        QCOMPARE(seen, QList<Step>({Step::uploading(), Step::failed(dbPrefix + "request failed (503)"),
                                    Step::uploading(), Step::done()}));
    }

    void databaseGoneAfterProbe()
    {
        auto client = makeClient();
        client->setContactSource(std::make_shared<DatabaseRemover>(m_home->chatDbPath()));
        client->begin();
        QCOMPARE(client->step(), Step::starting());
        QVERIFY(waitForStep(*client, Step::failed(HelperError::noAccess().errorDescription())));
        QCOMPARE(m_server->requests(create).size(), 0);
    }

    void noAccessShowsTheGate()
    {
        QFile::remove(m_home->chatDbPath());
        auto client = makeClient();
        client->begin();
        QCOMPARE(client->step(), Step::needsAccess());
        QVERIFY(client->conversations().isEmpty());
        QVERIFY(client->qrImage().isNull());
        QTest::qWait(50);
        QCOMPARE(m_server->requests().size(), 0);
    }

    // A superseded run's waiting tasks never write into the run that replaced them.
    void beginSupersedesWaitingTasks_data()
    {
        QTest::addColumn<QString>("heldEndpoint");
        QTest::newRow("session task waiting on create") << create;
        QTest::newRow("poll request in flight") << poll;
        QTest::newRow("choice report in flight") << choose;
        QTest::newRow("upload in flight") << upload;
    }

    void beginSupersedesWaitingTasks()
    {
        QFETCH(QString, heldEndpoint);
        auto client = makeClient();
        holdRequest(*client, heldEndpoint, Answer{500, R"({"error":"stale"})", 400ms});
        const QString oldSession = client->sessionId();

        QList<Step> seen;
        connect(client.get(), &PairingClient::stepChanged, this, [&] { seen.append(client->step()); });
        client->begin();
        QVERIFY(waitForStep(*client, Step::scan()));
        QTest::qWait(600);  // past the held answer
        QCOMPARE(seen.last(), Step::scan());
        for (const Step &step : seen)
            QVERIFY2(step.kind() != Step::Kind::failed, qPrintable(step.toString()));
        QVERIFY(client->sessionId() != oldSession);
        QCOMPARE(decodeQr(client->qrImage()), client->sessionId());
        QVERIFY(client->isPolling());
        QCOMPARE(client->conversations().size(), 2);

        // Only the new session is polled from now on.
        const auto creates = m_server->requests(create);
        const auto newCreate = creates.last().receivedAt;
        for (const auto &request : m_server->requests(poll)) {
            if (request.receivedAt > newCreate)
                QCOMPARE(request.json["session_id"].toString(), client->sessionId());
        }
    }

    void destroyingWhileTasksWaitIsSafe_data()
    {
        QTest::addColumn<QString>("heldEndpoint");
        QTest::newRow("create") << create;
        QTest::newRow("poll") << poll;
        QTest::newRow("choose") << choose;
        QTest::newRow("upload") << upload;
        QTest::newRow("sleeping between polls") << QString();
    }

    void destroyingWhileTasksWaitIsSafe()
    {
        QFETCH(QString, heldEndpoint);
        auto client = makeClient();
        if (heldEndpoint.isEmpty()) {
            runToPick(*client);
            client->setPollInterval(10s);
        } else {
            holdRequest(*client, heldEndpoint, Answer{200, "{}", 300ms});
        }
        client.reset();
        QTest::qWait(400);
        const int requests = int(m_server->requests().size());
        QTest::qWait(100);
        QCOMPARE(m_server->requests().size(), requests);
    }

    void pollRhythm()
    {
        auto client = makeClient();
        client->setPollInterval(300ms);
        client->begin();
        QVERIFY(m_server->waitForRequests(poll, 4));
        const auto created = m_server->requests(create)[0].receivedAt;
        const auto polls = m_server->requests(poll);
        QVERIFY(polls[0].receivedAt - created < 200ms);  // the first poll leaves at once
        for (int i = 1; i < polls.size(); ++i)
            QVERIFY(polls[i].receivedAt - polls[i - 1].receivedAt >= 300ms);

        client->begin();  // cancels the loop while it sleeps
        const QString oldSession = polls[0].json["session_id"].toString();
        QVERIFY(waitForStep(*client, Step::scan()));
        QTest::qWait(300);
        const auto newCreate = m_server->requests(create).last().receivedAt;
        for (const auto &request : m_server->requests(poll)) {
            if (request.receivedAt > newCreate)
                QVERIFY(request.json["session_id"].toString() != oldSession);
        }
    }

    void defaultPollIntervalIsOneAndAHalfSeconds()
    {
        auto client = std::make_unique<PairingClient>();
        client->setApiBase(m_server->baseUrl());
        client->begin();
        QVERIFY(m_server->waitForRequests(poll, 2, 6000));
        const auto polls = m_server->requests(poll);
        const auto gap = polls[1].receivedAt - polls[0].receivedAt;
        QVERIFY2(gap >= 1500ms && gap < 4000ms,  // generous: the machine may be busy
                 qPrintable(QString::number(std::chrono::duration_cast<std::chrono::milliseconds>(gap).count())));
    }

    void apiBaseResolution_data()
    {
        QTest::addColumn<QString>("environment");
        QTest::addColumn<QString>("configured");
        QTest::addColumn<QString>("expected");
        QTest::newRow("environment wins") << "http://env.test/" << "https://conf.test" << "http://env.test/";
        QTest::newRow("empty environment") << "" << "https://conf.test" << "https://conf.test";
        QTest::newRow("neither") << "" << "" << "https://api.vellora.app";
    }

    void apiBaseResolution()
    {
        QFETCH(QString, environment);
        QFETCH(QString, configured);
        QFETCH(QString, expected);
        QCOMPARE(PairingClient::resolveApiBase(environment, configured), expected);
    }

    void keysAndHashes()
    {
        QCOMPARE(PairingClient::sha256("abc"), QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
        const QString a = PairingClient::randomKey();
        const QString b = PairingClient::randomKey();
        QVERIFY(a != b);
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(a).hasMatch());
    }

    void relaunch_data()
    {
        QTest::addColumn<bool>("programExists");
        QTest::addColumn<bool>("atGate");
        QTest::addColumn<bool>("visitedSettings");
        QTest::addColumn<bool>("activate");  // window activation rather than "I've done it"
        QTest::addColumn<bool>("expectLaunch");

        QTest::newRow("I've done it") << true << true << false << false << true;
        QTest::newRow("back from settings") << true << true << true << true << true;
        QTest::newRow("back without visiting settings") << true << true << false << true << false;
        QTest::newRow("activation outside the gate") << true << false << true << true << false;
        QTest::newRow("launch fails") << false << true << false << false << false;
    }

    void relaunch()
    {
        QFETCH(bool, programExists);
        QFETCH(bool, atGate);
        QFETCH(bool, visitedSettings);
        QFETCH(bool, activate);
        QFETCH(bool, expectLaunch);

        if (atGate)
            QFile::remove(m_home->chatDbPath());
        const QString marker = m_home->tmp() + "/launched";
        auto client = makeClient();
        client->setLauncher(std::make_unique<ProcessLauncher>(
            programExists ? QStringLiteral("/bin/sh") : QStringLiteral("/nonexistent/vellora"),
            QStringList{"-c", "touch '" + marker + "'"}));
        bool quitRequested = false;
        client->setQuitHandler([&] { quitRequested = true; });
        client->begin();
        client->setDidVisitSettings(visitedSettings);
        const Step before = client->step();
        if (activate)
            client->applicationActivated();
        else
            client->relaunch();
        QTest::qWait(100);
        QCOMPARE(quitRequested, expectLaunch);
        QCOMPARE(QTest::qWaitFor([&] { return QFile::exists(marker); }, expectLaunch ? 2000 : 100), expectLaunch);
        if (atGate)
            QCOMPARE(client->step(), before);  // a launch, failed or not, leaves the gate as it was
    }
};

QTEST_GUILESS_MAIN(TestPairingClient)
#include "test_pairing_client.moc"
