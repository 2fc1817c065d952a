#include "AppInfo.h"
#include "Backup.h"
#include "BackupWriter.h"
#include "ChatDatabase.h"
#include "ContactResolver.h"
#include "FixtureDb.h"
#include "PairingClient.h"
#include "Platform.h"
#include "PhoneClient.h"
#include "ScriptedServer.h"
#include "TestEnv.h"
#include "Transcript.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTest>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <sqlite3.h>

#include <thread>

using namespace Qt::StringLiterals;

using namespace std::chrono_literals;
using namespace Endpoints;
using Step = PairingClient::Step;
using Answer = ScriptedServer::Answer;

Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(Answer)

char *toString(const Step &step)
{
    return qstrdup(qPrintable(step.toString()));
}

namespace {
const QString dbPrefix = QStringLiteral("Couldn't open the Messages database: ");
const QString noAccessText = u"Vellora can't open Messages yet \u2014 it needs Full Disk Access."_s;

Answer json(const char *body, int status = 200)
{
    return Answer{status, body};
}

// Deletes the live database while contacts load, i.e. after the access probe said yes.
class DatabaseRemover final : public ContactSource {
public:
    explicit DatabaseRemover(QString path) : m_path(std::move(path)) {}
    void fetch(Delivery deliver) override
    {
        QFile::remove(m_path);
        deliver({});
    }

private:
    QString m_path;
};

// Reports a started instance from a thread of its own, as the platform's completion does.
class ForeignThreadLauncher final : public AppLauncher {
public:
    ~ForeignThreadLauncher() override { m_thread.join(); }
    void launchNewInstance(std::function<void(bool started)> started) override
    {
        m_thread = std::thread([started = std::move(started)] { started(true); });
    }

private:
    std::thread m_thread;
};
} // namespace

class TestPairingClient : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScopedHome> m_home;
    std::unique_ptr<ScriptedServer> m_server;
    QList<Step> m_seen;  // every step the last client made moved to
    QList<qsizetype> m_pollsAtSleep;  // polls the server had seen each time the last client began to sleep

    std::unique_ptr<PairingClient> makeClient(const QString &base = {})
    {
        auto client = std::make_unique<PairingClient>();
        client->setApiBase(base.isEmpty() ? m_server->baseUrl() : base);
        client->setPollInterval(30ms);
        client->setTransferTimeout(5000ms);
        m_seen.clear();
        m_pollsAtSleep.clear();
        connect(client.get(), &PairingClient::stepChanged, this, [this, c = client.get()] { m_seen.append(c->step()); });
        client->setPollClock([this](QTimer &timer, std::chrono::milliseconds interval) {
            m_pollsAtSleep.append(m_server->requests(poll).size());
            timer.start(interval);
        });
        return client;
    }

    // No sleep began after the last poll was answered, so no further poll can follow.
    bool stoppedPolling(const PairingClient &client) const
    {
        return !client.isPolling() && m_pollsAtSleep.value(m_pollsAtSleep.size() - 1) < m_server->requests(poll).size();
    }

    static bool waitForStep(const PairingClient &client, const Step &step, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return client.step() == step; }, timeoutMs);
    }

    // A backup of the shared history (a copy kept at home/plain/chat.db), with an address book
    // that names Mum; encrypted when a password is given.
    QString writeBackupOfHistory(const std::optional<QByteArray> &password)
    {
        QDir().mkpath(m_home->home() + u"/plain"_s);
        QFile::copy(m_home->chatDbPath(), m_home->home() + u"/plain/chat.db"_s);
        const QString book = m_home->home() + u"/AddressBook.sqlitedb"_s;
        writeAddressBook(book, {{u"Mary"_s, u"Ann"_s, u"Smith"_s, {}, {u"(555) 123-0001"_s}, {}}});
        QList<BackupFile> files = messagesFiles(m_home->chatDbPath());
        files.append({u"HomeDomain"_s, u"Library/AddressBook/AddressBook.sqlitedb"_s, book});
        BackupOptions options;
        options.password = password;
        const QString folder = m_home->home() + u"/backup"_s;
        writeBackup(folder, files, options);
        return folder;
    }

    // Brings a client to `pick` with the first conversation available.
    void runToPick(PairingClient &client)
    {
        m_server->enqueue(poll, json(R"({"status":"claimed"})"));
        client.begin();
        QVERIFY(waitForStep(client, Step::pick()));
    }

    // Brings the client to the point where a request to `endpoint` is in flight, held by the
    // server until the test releases it.
    void holdRequest(PairingClient &client, const QString &endpoint, const Answer &held)
    {
        if (endpoint == create) {
            m_server->enqueue(create, held);
            m_server->hold(create);
            client.begin();
            QVERIFY(m_server->waitForRequests(create, 1));
            return;
        }
        runToPick(client);
        if (endpoint == poll) {
            // Every poll from now on is held; the next one counted is surely one of them.
            m_server->hold(poll);
            const int polls = int(m_server->requests(poll).size());
            QVERIFY(m_server->waitForRequests(poll, polls + 1));
            return;
        }
        m_server->enqueue(endpoint, held);
        m_server->hold(endpoint);
        client.choose(client.conversations().first());
        if (endpoint == upload)
            m_server->enqueue(poll, json(R"({"upload_id":"u"})"));
        QVERIFY(m_server->waitForRequests(endpoint, 1));
    }

private slots:
    void init()
    {
        qunsetenv("XDG_DATA_HOME");
        m_home = std::make_unique<ScopedHome>();
        m_server = std::make_unique<ScriptedServer>();
        writeTwoPartners(m_home->chatDbPath());
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
        QCOMPARE(PairingClient().pollInterval(), 1500ms);
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
        QCOMPARE(created.keys(), QStringList({u"client_version"_s, u"mac_key_hash"_s, u"session_id"_s}));
        QVERIFY(QRegularExpression(u"^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"_qs).match(client->sessionId()).hasMatch());
        QVERIFY(QRegularExpression(u"^[0-9a-f]{64}$"_qs).match(client->macKey()).hasMatch());
        QCOMPARE(created[u"session_id"_s].toString(), client->sessionId());
        QCOMPARE(created[u"mac_key_hash"_s].toString().toLatin1(),
                 QCryptographicHash::hash(client->macKey().toLatin1(), QCryptographicHash::Sha256).toHex());
        QCOMPARE(created[u"client_version"_s].toString(), AppInfo::version());
        QVERIFY(!creates[0].body.contains(client->macKey().toLatin1()));

        // Mum, listed first (latest message); her two chats make one conversation (the reader's test).
        const Conversation mum = client->conversations().first();
        QCOMPARE(mum.handle, mumHandle);

        client->choose(mum);
        QCOMPARE(client->step(), Step::finishing());
        QVERIFY(m_server->waitForRequests(choose, 1));
        const QJsonObject chosen = m_server->requests(choose)[0].json;
        QCOMPARE(chosen.keys(), QStringList({u"count"_s, u"first"_s, u"handle"_s, u"last"_s, u"mac_key"_s, u"name"_s, u"session_id"_s}));
        QCOMPARE(chosen[u"count"_s].toInteger(), qint64(3));
        QCOMPARE(chosen[u"first"_s].toString(), DateFmt::isoFormatter().string(*mum.firstMessageDate));
        QCOMPARE(chosen[u"last"_s].toString(), DateFmt::isoFormatter().string(*mum.lastMessageDate));
        QCOMPARE(chosen[u"mac_key"_s].toString(), client->macKey());
        QCOMPARE(chosen[u"handle"_s].toString(), mum.handle);

        // A message that arrives after the listing is in the transcript: the upload reads afresh.
        sqlite3 *live = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(m_home->chatDbPath()).constData(), &live), SQLITE_OK);
        QCOMPARE(sqlite3_exec(live, "INSERT INTO message (guid, text, date) VALUES ('late', 'Arrived late', 700000900);"
                                    "INSERT INTO chat_message_join (chat_id, message_id) VALUES (1, last_insert_rowid())",
                              nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(live);

        m_server->enqueue(poll, json(R"({"status":"claimed","upload_id":"u-1"})"));
        QVERIFY(waitForStep(*client, Step::done()));
        const auto uploads = m_server->requests(upload);
        QCOMPARE(uploads.size(), 1);
        const QJsonObject uploaded = uploads[0].json;
        QCOMPARE(uploaded.keys(), QStringList({u"file_name"_s, u"mac_key"_s, u"session_id"_s, u"transcript"_s}));
        QCOMPARE(uploaded[u"file_name"_s].toString(), QStringLiteral("chat.txt"));
        const QByteArray expected = transcriptOf(m_home->chatDbPath(), mum.handle);
        QCOMPARE(uploaded[u"transcript"_s].toString().toUtf8(), expected);
        QVERIFY(expected.contains("Caf\xc3\xa9 \xf0\x9f\x98\x80"));
        QVERIFY(expected.endsWith("+15551230001: Arrived late\n"));

        // Polling stopped with the upload.
        QVERIFY(stoppedPolling(*client));
        for (const auto &request : m_server->requests(poll))
            QVERIFY(request.receivedAt < uploads[0].receivedAt);
    }

    void createAnswers_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<Step>("expected");

        const Step page = Step::updateRequired(u"https://vellora.app/download/imessage-importer"_s);
        QTest::newRow("address does not parse") << "not a url" << json("") << Step::failed(dbPrefix + u"bad url"_s);
        QTest::newRow("connection refused") << "http://127.0.0.1:1" << json("") << Step::failed(u"Connection refused"_s);
        QTest::newRow("no answer within the timeout") << "" << json("{}", 0) << Step::failed(u"The request timed out."_s);
        QTest::newRow("404 with a text error") << "" << json(R"({"error":"no such session"})", 404)
                                               << Step::failed(dbPrefix + u"no such session"_s);
        QTest::newRow("500, not JSON") << "" << json("<html>oops", 500) << Step::failed(dbPrefix + u"request failed (500)"_s);
        QTest::newRow("number under error") << "" << json(R"({"error":42})", 400) << Step::failed(dbPrefix + u"request failed (400)"_s);
        QTest::newRow("redirect without a location") << "" << json("", 302) << Step::failed(dbPrefix + u"request failed (302)"_s);
        QTest::newRow("200, empty body") << "" << json("") << Step::scan();
        QTest::newRow("upper case word") << "" << json(R"({"status":"UPDATE_REQUIRED"})") << Step::scan();
        QTest::newRow("update, number address") << "" << json(R"({"status":"update_required","download_url":7})") << page;
        QTest::newRow("update, text address") << "" << json("{\"status\":\"update_required\",\"download_url\":\"https://x.test/dl\"}")  // moc misreads "//" in raw strings
                                              << Step::updateRequired(u"https://x.test/dl"_s);
        QTest::newRow("update, empty address") << "" << json(R"({"status":"update_required","download_url":""})")
                                               << Step::updateRequired(QString());
    }

    void createAnswers()
    {
        QFETCH(QString, base);
        QFETCH(Answer, answer);
        QFETCH(Step, expected);

        if (answer.status == 0)  // held, never answered
            m_server->hold(create);
        m_server->enqueue(create, answer);
        auto client = makeClient(base);
        client->setTransferTimeout(400ms);
        client->begin();
        QVERIFY2(waitForStep(*client, expected), qPrintable(client->step().toString()));
        QCOMPARE(client->conversations().size(), 2);  // listed before the session exists
        if (expected == Step::scan()) {
            QVERIFY(!client->qrImage().isNull());
            QVERIFY(m_server->waitForRequests(poll, 1));
        } else {
            QVERIFY(client->qrImage().isNull());
            QVERIFY(!client->isPolling() && m_pollsAtSleep.isEmpty());
            QCOMPARE(m_server->requests(poll).size(), 0);
        }
    }

    void pollAnswers_data()
    {
        QTest::addColumn<bool>("chooseFirst");
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<Step>("expected");
        QTest::addColumn<bool>("keepsPolling");

        const Step interrupted = Step::failed(
            u"Something interrupted pairing \u2014 quit and reopen Vellora iMessage Importer, then try again."_s);
        QTest::newRow("aborted with upload id") << true << json(R"({"status":"aborted","upload_id":"u"})") << interrupted << false;
        QTest::newRow("claimed while finishing") << true << json(R"({"status":"claimed"})") << Step::finishing() << true;
        QTest::newRow("claimed and upload id, nothing chosen") << false << json(R"({"status":"claimed","upload_id":"u"})") << Step::pick() << true;
        QTest::newRow("empty upload id") << true << json(R"({"upload_id":""})") << Step::finishing() << true;
        QTest::newRow("poll 500") << true << json("nope", 500) << Step::failed(dbPrefix + u"request failed (500)"_s) << false;
    }

    void pollAnswers()
    {
        QFETCH(bool, chooseFirst);
        QFETCH(Answer, answer);
        QFETCH(Step, expected);
        QFETCH(bool, keepsPolling);

        auto client = makeClient();
        runToPick(*client);
        if (chooseFirst) {
            client->choose(client->conversations().first());
            QVERIFY(m_server->waitForRequests(choose, 1));
        }
        const int before = int(m_server->requests(poll).size());
        m_server->enqueue(poll, answer);
        QVERIFY(m_server->waitForRequests(poll, before + 1));
        QVERIFY2(waitForStep(*client, expected), qPrintable(client->step().toString()));
        const int after = int(m_server->requests(poll).size());
        if (keepsPolling)
            QVERIFY(m_server->waitForRequests(poll, after + 1));
        QCOMPARE(stoppedPolling(*client), !keepsPolling);
        QCOMPARE(m_server->requests(upload).size(), 0);
    }

    // The choice report and the upload run side by side; polling outlives their failures.
    void choiceAndUploadFailures_data()
    {
        QTest::addColumn<Answer>("chooseAnswer");
        QTest::addColumn<bool>("lateChoice");  // the report is answered only once the upload is done
        QTest::addColumn<Answer>("firstUpload");
        QTest::addColumn<bool>("databaseGone");
        QTest::addColumn<QList<Step>>("expected");

        const Answer ok = json("{}");
        const Step finishing = Step::finishing(), uploading = Step::uploading(), done = Step::done();
        QTest::newRow("choice report fails while finishing")
            << json(R"({"error":"too late"})", 409) << false << ok << false
            << QList<Step>{finishing, Step::failed(dbPrefix + u"too late"_s), uploading, done};
        QTest::newRow("504 for the choice after done") << json("", 504) << true << ok << false
                                                       << QList<Step>{finishing, uploading, done};
        QTest::newRow("upload fails, retried at the next poll")
            << ok << false << json("", 503) << false
            << QList<Step>{finishing, uploading, Step::failed(dbPrefix + u"request failed (503)"_s), uploading, done};
        QTest::newRow("database gone until a later poll")
            << ok << false << ok << true
            << QList<Step>{finishing, uploading, Step::failed(noAccessText), uploading, done};
    }

    void choiceAndUploadFailures()
    {
        QFETCH(Answer, chooseAnswer);
        QFETCH(bool, lateChoice);
        QFETCH(Answer, firstUpload);
        QFETCH(bool, databaseGone);
        QFETCH(QList<Step>, expected);

        auto client = makeClient();
        client->setTransferTimeout(500ms);
        runToPick(*client);
        m_seen.clear();
        m_server->enqueue(choose, chooseAnswer);
        if (lateChoice)
            m_server->hold(choose);
        m_server->enqueue(upload, firstUpload);
        const QString db = m_home->chatDbPath();
        if (databaseGone)
            QVERIFY(QFile::rename(db, db + u".away"_s));
        Conversation undated = client->conversations().first();  // the upload needs only its chats
        undated.firstMessageDate = undated.lastMessageDate = std::nullopt;
        client->choose(undated);
        if (expected[1].kind() == Step::Kind::failed)  // the upload id comes only once the report failed
            QVERIFY(waitForStep(*client, expected[1]));
        m_server->setDefault(poll, json(R"({"upload_id":"u"})"));
        if (databaseGone) {
            QTRY_VERIFY(m_seen.contains(expected[2]));
            QVERIFY(QFile::rename(db + u".away"_s, db));
        }
        QVERIFY(waitForStep(*client, Step::done()));
        if (lateChoice) {
            // Nothing marks the moment the client has read the late failure; it may not take
            // back the delivered transcript within a generous while.
            m_server->release(choose);
            QVERIFY(!QTest::qWaitFor([&] { return m_seen.last() != Step::done(); }, 300));
        }
        // A gone database fails every upload until it is back.
        while (m_seen.size() > 4 && m_seen[3] == m_seen[1] && m_seen[4] == m_seen[2])
            m_seen.remove(1, 2);
        QCOMPARE(m_seen, expected);
        QCOMPARE(m_server->requests(upload).size(), firstUpload.status == 200 ? 1 : 2);
        const QJsonObject report = m_server->requests(choose).value(0).json;
        QVERIFY(report[u"first"_s].isNull() && report[u"last"_s].isNull());  // present, as JSON null
    }

    // A damaged page is never taken for the end of the rows: the run fails with SQLite's text
    // and no transcript leaves the machine.
    void damagedDatabase_data()
    {
        QTest::addColumn<QString>("btree");
        QTest::addColumn<bool>("atUpload");
        // chat_message_join is read through its key, which holds every pair.
        for (const auto &[table, btree] : {std::pair("message", "message"), {"chat_message_join", "sqlite_autoindex_chat_message_join_1"}}) {
            for (const bool atUpload : {false, true})
                QTest::addRow("%s leaf, %s", table, atUpload ? "upload" : "listing") << QString::fromLatin1(btree) << atUpload;
        }
        QTest::newRow("chat_handle_join index leaf, listing") << u"sqlite_autoindex_chat_handle_join_1"_qs << false;
    }

    void damagedDatabase()
    {
        QFETCH(QString, btree);
        QFETCH(bool, atUpload);
        // Mum's history spans many leaves, so rows come before the damaged one and after it.
        sqlite3 *live = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(m_home->chatDbPath()).constData(), &live), SQLITE_OK);
        QCOMPARE(sqlite3_exec(live, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1500) "
                                    "INSERT INTO message (guid, text, date) SELECT 'bulk' || i, printf('%.100c', 'x'), "
                                    "700000000 + i FROM n;"
                                    "INSERT INTO chat_message_join (chat_id, message_id) "
                                    "SELECT 1, ROWID FROM message WHERE guid LIKE 'bulk%'",
                              nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(live);
        const Step malformed = Step::failed(dbPrefix + u"database disk image is malformed"_s);
        auto client = makeClient();
        if (atUpload) {
            runToPick(*client);
            client->choose(client->conversations().first());
        }
        FixtureDb::garbleLeaf(m_home->chatDbPath(), btree);
        if (atUpload)
            m_server->setDefault(poll, json(R"({"upload_id":"u"})"));
        else
            client->begin();
        QTRY_VERIFY(m_seen.contains(malformed));
        QCOMPARE(m_server->requests(atUpload ? upload : create).size(), 0);
    }

    void databaseGoneAfterProbe()
    {
        auto client = makeClient();
        client->setContactSource(std::make_shared<DatabaseRemover>(m_home->chatDbPath()));
        client->begin();
        QCOMPARE(client->step(), Step::starting());
        QVERIFY(waitForStep(*client, Step::failed(noAccessText)));
        QCOMPARE(m_server->requests(create).size(), 0);
    }

    // A phone backup as the source: the listing, the names from its address book and, byte for
    // byte, the transcript are those the same history gives read from the database itself. (Its
    // unlocking: unlockingStopped here, and the window's test through the password screen.)
    void backupSource()
    {
        const QString folder = writeBackupOfHistory(std::nullopt);
        QFile::remove(m_home->chatDbPath());  // only the backup has the messages now
        auto client = makeClient();
        client->openBackup(folder);
        QVERIFY(client->hasBackup());
        m_server->enqueue(poll, json(R"({"status":"claimed"})"));
        QVERIFY(waitForStep(*client, Step::pick()));
        QCOMPARE(m_seen, (QList<Step>{Step::scan(), Step::pick()}));

        const Conversation mum = client->conversations().first();
        QCOMPARE(mum.handle, mumHandle);
        QCOMPARE(mum.displayName, u"Mary Ann Smith"_s);
        QCOMPARE(client->conversations().size(), 2);
        client->choose(mum);
        m_server->enqueue(poll, json(R"({"status":"claimed","upload_id":"u-1"})"));
        QVERIFY(waitForStep(*client, Step::done()));
        const ChatDatabase plain(m_home->home() + u"/plain/chat.db"_s);
        const QByteArray expected = Transcript::build(plain.loadMessages(mum), u"Mary Ann Smith"_s).toUtf8();
        QVERIFY(expected.contains("Caf\xc3\xa9"));
        QCOMPARE(m_server->requests(upload).value(0).json[u"transcript"_s].toString().toUtf8(), expected);
    }

    // Unlocking stopped by either button or by closing the window: its late result is dropped.
    void unlockingStopped_data()
    {
        QTest::addColumn<QString>("how");
        for (const char *how : {"cancel", "another source", "destroyed"})
            QTest::newRow(how) << QString::fromLatin1(how);
    }

    void unlockingStopped()
    {
        QFETCH(QString, how);
        const QString folder = writeBackupOfHistory(QByteArray("sesame"));
        auto client = makeClient();
        client->openBackup(folder);
        // The fixture's few rounds take no time: the worker waits behind a task of ours, so the
        // stop always comes first.
        QThreadPool *pool = QThreadPool::globalInstance();
        const int threads = pool->maxThreadCount();
        QSemaphore gate;
        const auto restore = qScopeGuard([&] {
            gate.release();
            finishCancelledTasks();
            pool->setMaxThreadCount(threads);
        });
        pool->setMaxThreadCount(1);
        pool->start([&gate] { gate.acquire(); });
        client->unlock(u"sesame"_s);
        QCOMPARE(client->step(), Step::unlocking());
        if (how == u"destroyed"_s) {
            client.reset();
            gate.release();
            finishCancelledTasks();
            QCOMPARE(m_server->requests(create).size(), 0);
            return;
        }
        if (how == u"cancel"_s)
            client->cancelUnlock();
        else
            client->chooseAnotherSource();
        gate.release();
        finishCancelledTasks();  // the worker ends with the keys; nobody takes them
        QCOMPARE(client->step(), how == u"cancel"_s ? Step::locked() : Step::starting());
        QCOMPARE(client->hasBackup(), how == u"cancel"_s);
        if (how != u"cancel"_s)  // the Mac's database again, as far as the code
            QVERIFY(waitForStep(*client, Step::scan()));
    }

    // Backups that can't be used end on the failure screen with their reason.
    void unusableBackup_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("message");
        QTest::newRow("no sms.db") << u"no messages"_s << u"This backup holds no messages."_s;
        QTest::newRow("no backup") << u"empty folder"_s << u"Couldn't read the iPhone backup: there is no Manifest.db in it."_s;
    }

    void unusableBackup()
    {
        QFETCH(QString, damage);
        QFETCH(QString, message);
        const QString folder = m_home->home() + u"/backup"_s;
        if (damage == u"no messages"_s) {
            writeBackup(folder, {});
        } else {
            QDir().mkpath(folder);
        }
        auto client = makeClient();
        client->openBackup(folder);
        QVERIFY(waitForStep(*client, Step::failed(message)));
        QCOMPARE(m_server->requests(create).size(), 0);
        QVERIFY(!client->hasBackup());  // "Try again" starts from the sources, not this backup again
    }

    // A database file the user opened is read like the Mac's own.
    void openedDatabase()
    {
        const QString opened = m_home->home() + u"/elsewhere/chat.db"_s;
        QDir().mkpath(m_home->home() + u"/elsewhere"_s);
        QVERIFY(QFile::rename(m_home->chatDbPath(), opened));
        auto client = makeClient();
        client->openDatabase(m_home->home() + u"/missing.db"_s);
        QCOMPARE(client->step(), Step::needsAccess());
        m_server->enqueue(poll, json(R"({"status":"claimed"})"));
        client->openDatabase(opened);
        QVERIFY(waitForStep(*client, Step::pick()));
        QCOMPARE(client->conversations().size(), 2);
    }

    // A superseded run's waiting tasks never write into the run that replaced them, and a
    // destroyed client's tasks send nothing more.
    void supersededTasksStaySilent_data()
    {
        QTest::addColumn<QString>("heldEndpoint");  // empty: sleeping between polls
        QTest::addColumn<bool>("destroy");
        for (const bool destroy : {false, true}) {
            for (const QString &endpoint : {create, poll, choose, upload, QString()})
                QTest::addRow("%s, %s", endpoint.isEmpty() ? "sleeping" : qPrintable(endpoint),
                              destroy ? "destroyed" : "begun again") << endpoint << destroy;
        }
    }

    void supersededTasksStaySilent()
    {
        QFETCH(QString, heldEndpoint);
        QFETCH(bool, destroy);
        auto client = makeClient();
        if (heldEndpoint.isEmpty())
            runToPick(*client);
        else
            holdRequest(*client, heldEndpoint, Answer{500, R"({"error":"stale"})"});
        if (destroy) {
            client.reset();
            finishCancelledTasks();
            const qsizetype requests = m_server->requests().size();
            m_server->release(heldEndpoint);  // to a client that is gone
            finishCancelledTasks();
            QCOMPARE(m_server->requests().size(), requests);
            return;
        }
        const QString oldSession = client->sessionId();
        m_seen.clear();
        client->begin();
        m_server->release(heldEndpoint);  // to a request already given up
        QVERIFY(waitForStep(*client, Step::scan()));
        // The stale answer went out before the new session's next two polls were answered.
        QVERIFY(m_server->waitForRequests(poll, int(m_server->requests(poll).size()) + 2));
        QCOMPARE(m_seen.last(), Step::scan());
        for (const Step &step : std::as_const(m_seen))
            QVERIFY2(step.kind() != Step::Kind::failed, qPrintable(step.toString()));
        QVERIFY(client->sessionId() != oldSession);
        QCOMPARE(PhoneClient::sessionIdFromImage(client->qrImage()), client->sessionId().toStdString());  // a new code
        QVERIFY(client->isPolling());
        QCOMPARE(client->conversations().size(), 2);

        // Only the new session is polled from now on.
        const auto newCreate = m_server->requests(create).last().receivedAt;
        for (const auto &request : m_server->requests(poll)) {
            if (request.receivedAt > newCreate)
                QCOMPARE(request.json[u"session_id"_s].toString(), client->sessionId());
        }
    }

    // On a clock the test moves by hand: the first poll leaves at once, each next one only once
    // a whole interval has run on that clock after the answer before it.
    void pollRhythm()
    {
        QList<std::chrono::milliseconds> intervals;
        QPointer<QTimer> sleeping;
        auto client = makeClient();
        client->setPollInterval(300ms);
        client->setPollClock([&](QTimer &timer, std::chrono::milliseconds interval) {
            m_pollsAtSleep.append(m_server->requests(poll).size());
            intervals.append(interval);
            sleeping = &timer;
            timer.start(24h);  // runs out only when the test says the interval has
        });
        client->begin();
        for (qsizetype polls = 1; polls <= 3; ++polls) {
            QTRY_COMPARE(intervals.size(), polls);
            QCOMPARE(intervals.last(), 300ms);
            QCOMPARE(m_pollsAtSleep.last(), polls);  // no sleep before the first poll
            finishCancelledTasks();
            QCOMPARE(m_server->requests(poll).size(), polls);  // nothing while the clock stands still
            sleeping->start(0);
            QVERIFY(m_server->waitForRequests(poll, int(polls) + 1));
        }
    }

    void apiBaseResolution()
    {
        QCOMPARE(PairingClient::resolveApiBase(u"http://env.test/"_s, u"https://conf.test"_s), u"http://env.test/"_s);
        QCOMPARE(PairingClient::resolveApiBase(QString(), u"https://conf.test"_s), u"https://conf.test"_s);
        QCOMPARE(PairingClient::resolveApiBase(QString(), QString()), u"https://api.vellora.app"_s);
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
        const QString marker = m_home->tmp() + u"/launched"_s;
        auto client = makeClient();
        client->setLauncher(std::make_unique<ProcessLauncher>(
            programExists ? QStringLiteral("/bin/sh") : QStringLiteral("/nonexistent/vellora"),
            QStringList{u"-c"_s, u"touch '"_s + marker + u"'"_s}));
        bool quitRequested = false;
        client->setQuitHandler([&] { quitRequested = true; });
        client->begin();
        client->setDidVisitSettings(visitedSettings);
        const Step before = client->step();
        if (atGate) {  // the gate: nothing listed, no code, nothing sent
            QCOMPARE(before, Step::needsAccess());
            QVERIFY(client->conversations().isEmpty() && client->qrImage().isNull());
        }
        if (activate)
            client->applicationActivated();
        else
            client->relaunch();
        QCoreApplication::processEvents();  // the quit follows the launch on the event loop
        QTRY_COMPARE(quitRequested, expectLaunch);
        if (expectLaunch)
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
        else
            QVERIFY(!QFile::exists(marker));
        if (atGate) {
            QCOMPARE(client->step(), before);  // a launch, failed or not, leaves the gate as it was
            QCOMPARE(m_server->requests().size(), 0);
        }
    }

    void relaunchReportedFromAnotherThread()
    {
        QFile::remove(m_home->chatDbPath());
        auto client = makeClient();
        client->setLauncher(std::make_unique<ForeignThreadLauncher>());
        QThread *quitOn = nullptr;
        client->setQuitHandler([&] { quitOn = QThread::currentThread(); });
        client->begin();
        client->relaunch();
        QTRY_VERIFY(quitOn);
        QCOMPARE(quitOn, QThread::currentThread());  // quitting is the main thread's
    }
};

QTEST_GUILESS_MAIN(TestPairingClient)
#include "test_pairing_client.moc"
