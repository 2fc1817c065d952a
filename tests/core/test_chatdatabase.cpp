#include "ChatDatabase.h"
#include "FixtureDb.h"
#include "TestEnv.h"

#include <QRegularExpression>
#include <QTest>

#include <sqlite3.h>

#include <filesystem>
#include <functional>

#include <sys/stat.h>

using Ids = QList<qint64>;
using Text = std::optional<QString>;
using Blob = std::optional<QByteArray>;
Q_DECLARE_METATYPE(Text)
Q_DECLARE_METATYPE(Blob)

namespace {

// Every statement run on a read-only connection (the reader's snapshot): its text as
// prepared and with its parameters bound.
QStringList g_statements;
QStringList g_expanded;

int traceStatement(unsigned, void *, void *p, void *)
{
    auto *stmt = static_cast<sqlite3_stmt *>(p);
    if (sqlite3_db_readonly(sqlite3_db_handle(stmt), "main") == 1) {
        g_statements.append(QString::fromUtf8(sqlite3_sql(stmt)));
        char *expanded = sqlite3_expanded_sql(stmt);
        g_expanded.append(QString::fromUtf8(expanded));
        sqlite3_free(expanded);
    }
    return 0;
}

void clearTrace()
{
    g_statements.clear();
    g_expanded.clear();
}

int installTrace(sqlite3 *db, char **, const sqlite3_api_routines *)
{
    sqlite3_trace_v2(db, SQLITE_TRACE_STMT, traceStatement, nullptr);
    return SQLITE_OK;
}

int mode(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

constexpr qint64 ns = 1'000'000'000;

const QString handleStatement = u"SELECT chj.chat_id, h.id\n"
                                "FROM chat_handle_join chj\n"
                                "JOIN handle h ON h.ROWID = chj.handle_id\n"
                                "WHERE chj.chat_id IN (\n"
                                "  SELECT chat_id FROM chat_handle_join GROUP BY chat_id HAVING COUNT(*) = 1\n"
                                ")"_qs;
const QString statsStatement = u"SELECT cmj.chat_id, COUNT(*), MIN(m.date), MAX(m.date)\n"
                               "FROM chat_message_join cmj\n"
                               "JOIN message m ON m.ROWID = cmj.message_id\n"
                               "GROUP BY cmj.chat_id"_qs;
const QString messagesStatement = u"SELECT m.date, m.is_from_me, m.text, m.attributedBody\n"
                                  "FROM message m\n"
                                  "JOIN chat_message_join cmj ON cmj.message_id = m.ROWID\n"
                                  "WHERE cmj.chat_id IN (?,?,?)\n"
                                  "ORDER BY m.date ASC"_qs;

} // namespace

class TestChatDatabase : public QObject {
    Q_OBJECT

    std::unique_ptr<ScopedHome> m_home;
    QHash<QString, Ids> m_chats; // fixture chats by handle, for the expectations

    // One-to-one partners over two services, with and without prefix, in groups, empty or
    // NULL ids and without messages: everything the listing must sort out.
    void writeMixedFixture(const QString &path)
    {
        FixtureDb db(path);
        const qint64 phone = db.addHandle(u"+15551230001"_qs);
        const qint64 phoneSms = db.addHandle(u"+15551230001"_qs, u"SMS"_qs);
        const qint64 alice = db.addHandle(u"alice@example.com"_qs);
        const qint64 local = db.addHandle(u"5551230003"_qs, u"SMS"_qs);
        const qint64 prefixed = db.addHandle(u"+15551230003"_qs, u"SMS"_qs);
        const qint64 bob = db.addHandle(u"bob@example.com"_qs);
        const qint64 carol = db.addHandle(u"carol@example.com"_qs);
        const qint64 empty = db.addHandle(QString());
        const qint64 null = db.addHandle(QString(), u"SMS"_qs, true);
        const qint64 quiet = db.addHandle(u"quiet@example.com"_qs);

        const qint64 cPhone = db.addChat({phone});
        const qint64 cAlice = db.addChat({alice});
        const qint64 cPhoneSms = db.addChat({phoneSms}, u"SMS"_qs);
        const qint64 cLocal = db.addChat({local}, u"SMS"_qs);
        const qint64 cPrefixed = db.addChat({prefixed}, u"SMS"_qs);
        const qint64 cBob = db.addChat({bob});
        const qint64 group = db.addChat({bob, carol});
        const qint64 bigGroup = db.addChat({alice, bob, carol});
        const qint64 groupOnly = db.addChat({carol, quiet});
        const qint64 cEmpty = db.addChat({empty});
        const qint64 cNull = db.addChat({null}, u"SMS"_qs);
        db.addChat({quiet});
        m_chats = {{u"+15551230001"_qs, {cPhone, cPhoneSms}}, {u"alice@example.com"_qs, {cAlice}},
                   {u"5551230003"_qs, {cLocal}}, {u"+15551230003"_qs, {cPrefixed}}, {u"bob@example.com"_qs, {cBob}}};

        db.begin();
        db.addMessage(cPhone, 700'000'000 * ns, false, u"a"_qs);
        db.addMessage(cPhone, 700'000'100 * ns, true, u"b"_qs);
        db.addMessage(cPhoneSms, 690'000'000 * ns, false, u"c"_qs);
        db.addMessage(cPhoneSms, 710'000'000 * ns, true, std::nullopt, FixtureDb::archiveBody(u"d"_qs));
        db.addMessage(cAlice, 730'000'000, false, u"e"_qs);
        db.addMessage(cLocal, 650'000'000, false, u"f"_qs);
        db.addMessage(cPrefixed, 600'000'000, false, u"g"_qs);
        db.addMessage(cPrefixed, 601'000'000, true, std::nullopt); // counted although it has no text
        db.addMessage(cBob, 705'000'000, false, u"h"_qs);
        for (qint64 chat : {group, bigGroup, groupOnly})
            db.addMessage(chat, 740'000'000, true, u"group"_qs);
        db.addMessage(cEmpty, 745'000'000, false, u"i"_qs);
        db.addMessage(cNull, 746'000'000, false, u"j"_qs);
        db.commit();
    }

private slots:
    void initTestCase()
    {
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(installTrace));
    }

    void init()
    {
        m_home = std::make_unique<ScopedHome>();
        clearTrace();
    }

    // No path, failed ones included, may leave a copy of the history behind.
    void cleanup()
    {
        const QStringList left = m_home->snapshotDirs();
        m_home.reset();
        QVERIFY2(left.isEmpty(), qPrintable(left.join(u", ")));
    }

    void canAccess_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("expected");
        QTest::newRow("missing") << QByteArray() << false;
        QTest::newRow("zero length") << QByteArray("") << false;
        QTest::newRow("one byte") << QByteArray("x") << true;
        QTest::newRow("a directory") << QByteArray("/") << false;
    }

    void canAccess()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, expected);
        const QString path = m_home->chatDbPath();
        if (content == "/") {
            QVERIFY(QDir().mkpath(path));
        } else if (!content.isNull()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        QCOMPARE(ChatDatabase::standardSourcePath(), path);
        QCOMPARE(ChatDatabase::canAccess(), expected);
    }

    void snapshot_data()
    {
        QTest::addColumn<bool>("wal");
        QTest::addColumn<bool>("shm");
        QTest::newRow("no companions") << false << false;
        QTest::newRow("wal only") << true << false;
        QTest::newRow("wal and shm") << true << true;
    }

    void snapshot()
    {
        QFETCH(bool, wal);
        QFETCH(bool, shm);
        const QString source = m_home->chatDbPath();
        {
            FixtureDb db(source);
            const qint64 chat = db.addChat({db.addHandle(u"alice@example.com"_qs)});
            db.keepWal();
            db.addMessage(chat, 700'000'000, false, u"hi"_qs);
        }
        if (!wal)
            QFile::remove(source + u"-wal"_qs);
        if (!shm)
            QFile::remove(source + u"-shm"_qs);

        QString dir;
        {
            const ChatDatabase snapshot(source);
            const ChatDatabase other(source);
            dir = snapshot.snapshotDir();
            QCOMPARE(QFileInfo(dir).dir().path(), m_home->tmp());
            QVERIFY(QFileInfo(dir).fileName().contains(
                QRegularExpression(u"^vellora-imessage-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"_qs)));
            QVERIFY(other.snapshotDir() != dir);
            QCOMPARE(mode(dir), 0700);
            QStringList expected{u"chat.db"_qs};
            if (wal)
                expected << u"chat.db-wal"_qs;
            if (shm)
                expected << u"chat.db-shm"_qs;
            expected.sort();
            QCOMPARE(QDir(dir).entryList(QDir::Files, QDir::Name), expected);
            for (const QString &file : expected)
                QCOMPARE(mode(dir + u'/' + file), 0600);
            QCOMPARE(snapshot.loadConversations([](const QString &) { return std::nullopt; }).size(), wal ? 1 : 0);
            for (const QString &file : QDir(dir).entryList(QDir::Files)) // SQLite's own -wal and -shm too
                QCOMPARE(mode(dir + u'/' + file), 0600);
        }
        QVERIFY(!QFileInfo::exists(dir));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("description");
        const QString noAccess = QString::fromUtf8("Vellora can't open Messages yet \u2014 it needs Full Disk Access.");
        QTest::newRow("missing source") << u"missing"_qs << int(HelperError::Kind::noAccess) << noAccess;
        QTest::newRow("source is a folder") << u"folder"_qs << int(HelperError::Kind::noAccess) << noAccess;
        QTest::newRow("copy path too long to open") << u"long"_qs << int(HelperError::Kind::sqlite)
                                                    << u"Couldn't open the Messages database: open failed (14)"_qs;
    }

    void failures()
    {
        QFETCH(QString, setup);
        QFETCH(int, kind);
        QFETCH(QString, description);
        QString tmp = m_home->tmp();
        if (setup == u"folder") {
            QVERIFY(QDir().mkpath(m_home->chatDbPath()));
        } else if (setup == u"long") {
            FixtureDb(m_home->chatDbPath()).close();
            for (int i = 0; i < 3; ++i)
                tmp += u'/' + QString(200, u'd');
            QVERIFY(QDir().mkpath(tmp));
            qputenv("TMPDIR", QFile::encodeName(tmp));
        }
        try {
            const ChatDatabase snapshot(m_home->chatDbPath());
            QFAIL("construction succeeded");
        } catch (const HelperError &e) {
            QCOMPARE(int(e.kind()), kind);
            QCOMPARE(e.errorDescription(), description);
        }
        QVERIFY(QDir(tmp).isEmpty());
    }

    void tempFolder_data()
    {
        QTest::addColumn<QString>("tmpdir");
        QTest::addColumn<bool>("made");
        QTest::newRow("missing folder is made") << u"made/here"_qs << true;
        QTest::newRow("folder under a file") << u"file/sub"_qs << false;
    }

    void tempFolder()
    {
        QFETCH(QString, tmpdir);
        QFETCH(bool, made);
        FixtureDb(m_home->chatDbPath()).close();
        QFile(m_home->tmp() + u"/file"_qs).open(QIODevice::WriteOnly);
        const QString dir = m_home->tmp() + u'/' + tmpdir;
        qputenv("TMPDIR", QFile::encodeName(dir));
        if (made)
            QVERIFY(QFileInfo(ChatDatabase(m_home->chatDbPath()).snapshotDir()).path() == dir);
        else
            QVERIFY_THROWS_EXCEPTION(std::filesystem::filesystem_error, ChatDatabase(m_home->chatDbPath()));
        QVERIFY(QDir(dir).isEmpty());
    }

    void notADatabase_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");
        QTest::newRow("text file") << QByteArray(8192, 'x') << u"file is not a database"_qs;
        QTest::newRow("no Messages tables") << QByteArray() << u"no such table: chat_handle_join"_qs;
    }

    void notADatabase()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        if (content.isEmpty()) {
            sqlite3 *db = nullptr;
            sqlite3_open(QFile::encodeName(m_home->chatDbPath()).constData(), &db);
            sqlite3_exec(db, "CREATE TABLE message (ROWID INTEGER PRIMARY KEY)", nullptr, nullptr, nullptr);
            sqlite3_close(db);
        } else {
            QFile file(m_home->chatDbPath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        const ChatDatabase snapshot(m_home->chatDbPath());
        const auto expectSqlite = [&](const std::function<void()> &query) {
            try {
                query();
                QFAIL("query succeeded");
            } catch (const HelperError &e) {
                QCOMPARE(e.kind(), HelperError::Kind::sqlite);
                QCOMPARE(e.message(), message);
            }
        };
        expectSqlite([&] { snapshot.loadConversations([](const QString &) { return std::nullopt; }); });
        if (content.isEmpty())
            message = u"no such table: chat_message_join"_qs;
        expectSqlite([&] { snapshot.loadMessages(Conversation{u"x"_qs, u"x"_qs, {1}, 1, {}, {}}); });
    }

    void listing_data()
    {
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("handle");
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("count");
        QTest::addColumn<RefDate>("first");
        QTest::addColumn<RefDate>("last");
        // Latest first; groups, empty and NULL handles and message-less chats are absent.
        QTest::newRow("name from contacts") << 0 << u"alice@example.com"_qs << u"Alice Example"_qs << 1LL << 730e6 << 730e6;
        QTest::newRow("two services merged") << 1 << u"+15551230001"_qs << u"+15551230001"_qs << 4LL << 690e6 << 710e6;
        QTest::newRow("empty name kept, groups ignored") << 2 << u"bob@example.com"_qs << QString() << 1LL << 705e6 << 705e6;
        QTest::newRow("without prefix") << 3 << u"5551230003"_qs << u"5551230003"_qs << 1LL << 650e6 << 650e6;
        QTest::newRow("with prefix") << 4 << u"+15551230003"_qs << u"+15551230003"_qs << 2LL << 600e6 << 601e6;
    }

    void listing()
    {
        writeMixedFixture(m_home->chatDbPath());
        const ChatDatabase snapshot(m_home->chatDbPath());
        clearTrace(); // the connection's own set-up
        QStringList asked;
        const QList<Conversation> list = snapshot.loadConversations([&](const QString &handle) -> Text {
            asked << handle;
            if (handle == u"alice@example.com")
                return u"Alice Example"_qs;
            if (handle == u"bob@example.com")
                return QString(u""_qs);
            return std::nullopt;
        });
        QCOMPARE(g_statements, QStringList({handleStatement, statsStatement}));
        QCOMPARE(list.size(), 5);
        asked.sort();
        QCOMPARE(asked, QStringList({u"+15551230001"_qs, u"+15551230003"_qs, u"5551230003"_qs,
                                     u"alice@example.com"_qs, u"bob@example.com"_qs}));

        QFETCH(int, position);
        QFETCH(QString, handle);
        QFETCH(QString, name);
        QFETCH(qint64, count);
        QFETCH(RefDate, first);
        QFETCH(RefDate, last);
        const Conversation &c = list[position];
        QCOMPARE(c.id(), handle);
        QCOMPARE(c.displayName, name);
        QCOMPARE(c.chatRowIds, m_chats.value(handle));
        QCOMPARE(c.messageCount, count);
        QCOMPARE(c.firstMessageDate, std::optional<RefDate>(first));
        QCOMPARE(c.lastMessageDate, std::optional<RefDate>(last));
    }

    void dates_data()
    {
        QTest::addColumn<qint64>("raw");
        QTest::addColumn<RefDate>("seconds");
        QTest::newRow("1e12 is seconds") << 1'000'000'000'000LL << 1e12;
        QTest::newRow("1e12 + 1 is nanoseconds") << 1'000'000'000'001LL << 1000.000000001;
        QTest::newRow("nanoseconds") << 700'000'000'000'000'000LL << 700e6;
        QTest::newRow("seconds") << 700'000'000LL << 700e6;
        QTest::newRow("reference date") << 0LL << 0.0;
    }

    void dates()
    {
        QFETCH(qint64, raw);
        QFETCH(RefDate, seconds);
        {
            FixtureDb db(m_home->chatDbPath());
            db.addMessage(db.addChat({db.addHandle(u"a@b.c"_qs)}), raw, true, u"x"_qs);
        }
        const ChatDatabase snapshot(m_home->chatDbPath());
        const auto list = snapshot.loadConversations([](const QString &) { return std::nullopt; });
        QCOMPARE(list.size(), 1);
        QCOMPARE(list[0].firstMessageDate, std::optional<RefDate>(seconds));
        QCOMPARE(list[0].lastMessageDate, std::optional<RefDate>(seconds));
        const auto messages = snapshot.loadMessages(list[0]);
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].date, std::optional<RefDate>(seconds));
        if (seconds == 700e6)
            QCOMPARE(RefDates::toDateTime(*messages[0].date).toString(Qt::ISODate), u"2023-03-08T20:26:40Z"_qs);
    }

    void messageText_data()
    {
        QTest::addColumn<Text>("text");
        QTest::addColumn<Blob>("body");
        QTest::addColumn<Text>("expected");
        const Text none;
        const Blob noBody;
        const Blob hello = FixtureDb::archiveBody(u"from body"_qs);
        QTest::newRow("plain text") << Text(u"Hello"_qs) << noBody << Text(u"Hello"_qs);
        QTest::newRow("text wins over body") << Text(u"Hello"_qs) << hello << Text(u"Hello"_qs);
        QTest::newRow("NULL text, body") << none << hello << Text(u"from body"_qs);
        QTest::newRow("empty text, body") << Text(u""_qs) << hello << Text(u"from body"_qs);
        QTest::newRow("trimmed") << Text(u"  padded \n"_qs) << noBody << Text(u"padded"_qs);
        QTest::newRow("unicode spaces trimmed") << Text(u"\u00a0hi\u3000\u2029"_qs) << noBody << Text(u"hi"_qs);
        QTest::newRow("body text trimmed") << none << Blob(FixtureDb::archiveBody(u"\n body \n"_qs)) << Text(u"body"_qs);
        QTest::newRow("inner line breaks kept") << Text(u"one\n\ntwo\r\nthree"_qs) << noBody
                                                << Text(u"one\n\ntwo\r\nthree"_qs);
        QTest::newRow("text ends at NUL") << Text(QString::fromUtf8("abc\0def", 7)) << noBody << Text(u"abc"_qs);
        QTest::newRow("accents emoji rtl") << none << Blob(FixtureDb::archiveBody(QString::fromUtf8("Ça va? 😀 مرحبا")))
                                           << Text(QString::fromUtf8("Ça va? 😀 مرحبا"));
        QTest::newRow("whitespace text, body ignored") << Text(u" \t\n"_qs) << hello << none;
        QTest::newRow("neither text nor body") << none << noBody << none;
        QTest::newRow("empty text, empty body") << Text(u""_qs) << Blob(QByteArray("")) << none;
        QTest::newRow("undecodable body") << none << Blob(QByteArray("NSString+\x03\xff\xfe\xfd")) << none;
        QTest::newRow("blank body text") << none << Blob(FixtureDb::archiveBody(u" \n "_qs)) << none;
    }

    void messageText()
    {
        QFETCH(Text, text);
        QFETCH(Blob, body);
        QFETCH(Text, expected);
        qint64 chat = 0;
        {
            FixtureDb db(m_home->chatDbPath());
            chat = db.addChat({db.addHandle(u"a@b.c"_qs)});
            db.addMessage(chat, 700'000'000, false, text, body);
            db.addMessage(chat, 700'000'001, true, u"marker"_qs);
        }
        const ChatDatabase snapshot(m_home->chatDbPath());
        const auto messages = snapshot.loadMessages(Conversation{u"a@b.c"_qs, {}, {chat}, 2, {}, {}});
        QCOMPARE(messages.size(), expected ? 2 : 1);
        if (expected)
            QCOMPARE(messages[0].text, *expected);
        QCOMPARE(messages.last().text, u"marker"_qs);
    }

    void fromMe_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("fromMe");
        QTest::newRow("1") << u"1"_qs << true;
        QTest::newRow("0") << u"0"_qs << false;
        QTest::newRow("2") << u"2"_qs << false;
        QTest::newRow("NULL") << u"NULL"_qs << false;
    }

    void fromMe()
    {
        QFETCH(QString, value);
        QFETCH(bool, fromMe);
        qint64 chat = 0;
        {
            FixtureDb db(m_home->chatDbPath());
            chat = db.addChat({db.addHandle(u"a@b.c"_qs)});
            db.addMessage(chat, 700'000'000, false, u"x"_qs);
            QCOMPARE(sqlite3_exec(db.handle(), qPrintable(u"UPDATE message SET is_from_me = "_qs + value), nullptr,
                                  nullptr, nullptr),
                     SQLITE_OK);
        }
        const ChatDatabase snapshot(m_home->chatDbPath());
        const auto messages = snapshot.loadMessages(Conversation{u"a@b.c"_qs, {}, {chat}, 1, {}, {}});
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].fromMe, fromMe);
    }

    // Merged chats come back as one list by date, bound in chatRowIds order; an
    // unrelated chat and an empty id list read nothing.
    void mergedMessages()
    {
        Ids chats;
        {
            FixtureDb db(m_home->chatDbPath());
            const qint64 h = db.addHandle(u"+15550000000"_qs);
            const qint64 other = db.addChat({db.addHandle(u"x@y.z"_qs)});
            chats = {db.addChat({h}), other, db.addChat({db.addHandle(u"+15550000000"_qs, u"SMS"_qs)}, u"SMS"_qs)};
            db.addMessage(chats[0], 30, false, u"third"_qs);
            db.addMessage(chats[2], 10, true, u"first"_qs);
            db.addMessage(other, 15, true, u"elsewhere"_qs);
            db.addMessage(chats[0], 20, false, u"second"_qs);
            db.addMessage(chats[2], 40, true, u"fourth"_qs);
        }
        const ChatDatabase snapshot(m_home->chatDbPath());
        clearTrace();
        QVERIFY(snapshot.loadMessages(Conversation{}).isEmpty());
        QVERIFY(g_statements.isEmpty());

        const Ids bound{chats[2], chats[0], 999};
        const auto messages = snapshot.loadMessages(Conversation{u"+15550000000"_qs, {}, bound, 4, {}, {}});
        QCOMPARE(g_statements, QStringList{messagesStatement});
        QVERIFY(g_expanded[0].contains(u"IN (%1,%2,999)"_qs.arg(chats[2]).arg(chats[0])));
        QStringList texts;
        for (const ChatMessage &m : messages)
            texts << m.text;
        QCOMPARE(texts, QStringList({u"first"_qs, u"second"_qs, u"third"_qs, u"fourth"_qs}));
        QCOMPARE(messages[0].fromMe, true);
        QCOMPARE(messages[1].fromMe, false);
    }

    // Rows Messages has not checkpointed yet live only in chat.db-wal; the copy must see them.
    void walOnlyRows()
    {
        const QString source = m_home->chatDbPath();
        {
            FixtureDb db(source);
            const qint64 alice = db.addChat({db.addHandle(u"alice@example.com"_qs)});
            db.addMessage(alice, 700'000'000, false, u"checkpointed"_qs);
            db.keepWal();
            db.addMessage(alice, 700'000'001, true, u"in wal"_qs);
            db.addMessage(db.addChat({db.addHandle(u"new@example.com"_qs)}), 700'000'002, false, u"new chat"_qs);
        }
        QVERIFY(QFileInfo(source + u"-wal"_qs).size() > 0);
        const ChatDatabase snapshot(source);
        const auto list = snapshot.loadConversations([](const QString &) { return std::nullopt; });
        QCOMPARE(list.size(), 2);
        QCOMPARE(list[0].handle, u"new@example.com"_qs);
        QCOMPARE(list[1].messageCount, 2LL);
        QCOMPARE(snapshot.loadMessages(list[0]).value(0).text, u"new chat"_qs);
        QCOMPARE(snapshot.loadMessages(list[1]).value(1).text, u"in wal"_qs);
    }
};

QTEST_GUILESS_MAIN(TestChatDatabase)
#include "test_chatdatabase.moc"
