#include "ChatDatabase.h"
#include "FixtureDb.h"
#include "TestEnv.h"
#include "Transcript.h"

#include <QRegularExpression>
#include <QTest>

#include <sqlite3.h>

#include <filesystem>
#include <functional>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>

using Ids = QList<qint64>;
using Text = std::optional<QString>;
using Blob = std::optional<QByteArray>;
Q_DECLARE_METATYPE(Text)
Q_DECLARE_METATYPE(Blob)
Q_DECLARE_METATYPE(ChatDatabase::Copy)

namespace {

int mode(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

// Null content: nothing there; "/": a folder; "db": an empty Messages database.
void makeSource(const QString &path, const QByteArray &content)
{
    if (content == "/")
        QDir().mkpath(path);
    else if (content == "|")
        ::mkfifo(QFile::encodeName(path).constData(), 0600);
    else if (content == "db")
        FixtureDb(path).close();
    else if (QFile file(path); !content.isNull() && file.open(QIODevice::WriteOnly))
        file.write(content);
}

// What `run` throws, as the user reads it; empty when it succeeds.
QString errorOf(const std::function<void()> &run)
{
    try {
        run();
    } catch (const HelperError &e) {
        return e.errorDescription();
    } catch (const std::filesystem::filesystem_error &) {
        return u"filesystem"_qs;
    }
    return {};
}

QStringList texts(const QList<ChatMessage> &messages)
{
    QStringList out;
    for (const ChatMessage &m : messages)
        out << (m.fromMe ? u"me: "_qs : QString()) + m.text;
    return out;
}

const ChatDatabase::NameFor noNames = [](const QString &) { return std::nullopt; };
constexpr qint64 ns = 1'000'000'000;

} // namespace

class TestChatDatabase : public QObject {
    Q_OBJECT

    std::unique_ptr<ScopedHome> m_home;

private slots:
    void init()
    {
        m_home.reset(); // restores the environment before the next one takes it over
        m_home = std::make_unique<ScopedHome>();
    }

    // No path, failed ones included, may leave a copy of the history behind.
    void cleanup() { QCOMPARE(m_home->snapshotDirs(), QStringList()); }

    void snapshot_data()
    {
        QTest::addColumn<ChatDatabase::Copy>("copy");
        QTest::addColumn<bool>("wal");
        QTest::addColumn<bool>("shm");
        for (const auto &[copy, name] : {std::pair(ChatDatabase::Copy::native, "native"), {ChatDatabase::Copy::portable, "portable"}}) {
            QTest::addRow("%s, no companions", name) << copy << false << false;
            QTest::addRow("%s, wal only", name) << copy << true << false;
            QTest::addRow("%s, wal and shm", name) << copy << true << true;
        }
    }

    // Rows Messages has not checkpointed yet live only in chat.db-wal; the copy must see them.
    void snapshot()
    {
        QFETCH(ChatDatabase::Copy, copy);
        QFETCH(bool, wal);
        QFETCH(bool, shm);
        const QString source = m_home->chatDbPath();
        const QString big(1'200'000, u'c'); // over a megabyte: the copy loop takes several turns
        {
            FixtureDb db(source);
            const qint64 alice = db.addChat({db.addHandle(u"alice@example.com"_qs)});
            db.addMessage(alice, 700'000'000, false, big);
            db.keepWal();
            db.addMessage(alice, 700'000'001, true, u"in wal"_qs);
            db.addMessage(db.addChat({db.addHandle(u"new@example.com"_qs)}), 700'000'002, false, u"new chat"_qs);
        }
        if (!wal)
            QFile::remove(source + u"-wal"_qs);
        if (!shm)
            QFile::remove(source + u"-shm"_qs);

        const ChatDatabase snapshot(source, copy); // cleanup() sees that its folder goes with it
        const QString dir = snapshot.snapshotDir();
        QVERIFY(QFileInfo(dir).fileName().contains(
            QRegularExpression(u"^vellora-imessage-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"_qs)));
        QVERIFY(ChatDatabase(source).snapshotDir() != dir);
        QCOMPARE(mode(dir), 0700);
        QCOMPARE(QDir(dir).entryList(QDir::Files, QDir::Name).join(u' '),
                 u"chat.db"_qs + (shm ? u" chat.db-shm"_qs : QString()) + (wal ? u" chat.db-wal"_qs : QString()));

        const auto list = snapshot.loadConversations(noNames);
        QCOMPARE(list.size(), wal ? 2 : 1);
        QCOMPARE(list.last().messageCount, wal ? 2LL : 1LL);
        QCOMPARE(texts(snapshot.loadMessages(list.last())).join(u'|'),
                 big + (wal ? u"|me: in wal"_qs : QString()));
        for (const QString &file : QDir(dir).entryList(QDir::Files)) // SQLite's own -wal and -shm too
            QCOMPARE(mode(dir + u'/' + file), 0600);
    }

    void sources_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QString>("tmpdir"); // under the test's TMPDIR
        QTest::addColumn<bool>("access");
        QTest::addColumn<QStringList>("errors"); // opening's, or else the listing's and the messages'
        const QStringList noAccess{QString::fromUtf8("Vellora can't open Messages yet \u2014 it needs Full Disk Access.")};
        const QString failed = u"Couldn't open the Messages database: "_qs;
        const QString garbage = failed + u"file is not a database"_qs;
        const QStringList noTables{failed + u"no such table: chat_handle_join"_qs, failed + u"no such table: message"_qs};
        const QString longDir = QStringList(3, QString(200, u'd')).join(u'/');
        const QByteArray db("db");
        QTest::newRow("missing source") << QByteArray() << QString() << false << noAccess;
        QTest::newRow("source is a folder") << QByteArray("/") << QString() << false << noAccess;
        QTest::newRow("source is a FIFO: no hang") << QByteArray("|") << QString() << false
                                                   << QStringList{failed + u"Invalid argument"_qs};
        QTest::newRow("copy path too long to open") << db << longDir << true << QStringList{failed + u"open failed (14)"_qs};
        QTest::newRow("missing temp folder is made") << db << u"made/here"_qs << true << QStringList();
        QTest::newRow("temp folder under a file") << db << u"file/sub"_qs << true << QStringList{u"filesystem"_qs};
        // Opening succeeds; the first query fails with SQLite's own message.
        QTest::newRow("text file") << QByteArray(8192, 'x') << QString() << true << QStringList{garbage, garbage};
        QTest::newRow("one byte, no tables") << QByteArray("x") << QString() << true << noTables;
        QTest::newRow("empty file") << QByteArray("") << QString() << false << noTables;
    }

    void sources()
    {
        QFETCH(QByteArray, source);
        QFETCH(QString, tmpdir);
        QFETCH(bool, access);
        QFETCH(QStringList, errors);
        makeSource(m_home->chatDbPath(), source);
        QCOMPARE(ChatDatabase::standardSourcePath(), m_home->chatDbPath());
        QCOMPARE(ChatDatabase::canAccess(), access);
        QFile(m_home->tmp() + u"/file"_qs).open(QIODevice::WriteOnly);
        const QString tmp = QDir::cleanPath(m_home->tmp() + u'/' + tmpdir);
        qputenv("TMPDIR", QFile::encodeName(tmp));
        for (const ChatDatabase::Copy copy : {ChatDatabase::Copy::native, ChatDatabase::Copy::portable}) {
            QStringList got;
            got << errorOf([&] {
                const ChatDatabase snapshot(m_home->chatDbPath(), copy);
                QCOMPARE(QFileInfo(snapshot.snapshotDir()).path(), tmp);
                got << errorOf([&] { snapshot.loadConversations(noNames); })
                    << errorOf([&] { snapshot.loadMessages(Conversation{{}, {}, {1}, 1, {}, {}}); });
            });
            got.removeAll(QString());
            QCOMPARE(got, errors);
        }
        QVERIFY(tmpdir.isEmpty() || QDir(tmp).isEmpty()); // cleanup() looks in the test's own TMPDIR
    }

    // A failed copy never passes for a snapshot, nor for missing access: a full disk or a
    // companion that is there but cannot be read is told in the system's words.
    void copyFailures_data()
    {
        QTest::addColumn<QString>("damage"); // "limit": the file size limit, else what replaces the file
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("error");
        const QString failed = u"Couldn't open the Messages database: "_qs;
        QTest::newRow("disk full copying chat.db") << u"limit"_qs << u"chat.db"_qs << failed + u"File too large"_qs;
        QTest::newRow("disk full copying chat.db-wal") << u"limit"_qs << u"chat.db-wal"_qs << failed + u"File too large"_qs;
        QTest::newRow("chat.db-wal is a folder") << u"folder"_qs << u"chat.db-wal"_qs << failed + u"Is a directory"_qs;
        QTest::newRow("chat.db-shm is a FIFO") << u"fifo"_qs << u"chat.db-shm"_qs << failed + u"Invalid argument"_qs;
    }

    void copyFailures()
    {
        QFETCH(QString, damage);
        QFETCH(QString, file);
        QFETCH(QString, error);
        const QString source = m_home->chatDbPath();
        {
            FixtureDb db(source);
            const qint64 chat = db.addChat({db.addHandle(u"a@b.c"_qs)});
            db.keepWal();
            db.begin();
            for (int i = 0; i < 2000; ++i) // a -wal larger than chat.db
                db.addMessage(chat, 700'000'000 + i, false, QString(200, u'w'));
            db.commit();
        }
        const QString path = QFileInfo(source).dir().filePath(file);
        const qint64 mainSize = QFileInfo(source).size();
        QVERIFY(QFileInfo(source + u"-wal"_qs).size() > mainSize);
        // Copying chat.db fails half way, or it just fits and its -wal does not.
        const rlim_t limit = damage != u"limit" ? RLIM_INFINITY : rlim_t(file == u"chat.db" ? mainSize / 2 : mainSize);
        if (damage != u"limit") {
            QVERIFY(QFile::remove(path));
            QVERIFY(damage == u"folder" ? QDir().mkdir(path) : ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        }
        for (const ChatDatabase::Copy copy : {ChatDatabase::Copy::native, ChatDatabase::Copy::portable}) {
            // No file may grow past the limit, as on a full disk, and without root: the write
            // fails with EFBIG instead of the signal ending the process. Restored at once.
            rlimit old{};
            ::getrlimit(RLIMIT_FSIZE, &old);
            const rlimit full{limit, old.rlim_max};
            const auto handler = std::signal(SIGXFSZ, SIG_IGN);
            ::setrlimit(RLIMIT_FSIZE, &full);
            const QString got = errorOf([&] { ChatDatabase snapshot(source, copy); });
            ::setrlimit(RLIMIT_FSIZE, &old);
            std::signal(SIGXFSZ, handler);
            QCOMPARE(got, error);
        }
    }

    void listing_data()
    {
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("handle");
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("count");
        QTest::addColumn<RefDate>("first");
        QTest::addColumn<RefDate>("last");
        QTest::addColumn<QStringList>("messages");
        // Latest first; groups, empty and NULL handles and message-less chats are absent.
        QTest::newRow("name from contacts") << 0 << u"alice@example.com"_qs << u"Alice Example"_qs << 1LL << 730e6
                                            << 730e6 << QStringList{u"e"_qs};
        // Interleaved by date across both chats, one counting nanoseconds and one seconds;
        // is_from_me NULL and 2 are not from me.
        QTest::newRow("two services merged") << 1 << u"+15551230001"_qs << u"+15551230001"_qs << 4LL << 680e6 << 710e6
                                             << QStringList({u"a"_qs, u"c"_qs, u"me: b"_qs, u"me: d"_qs});
        QTest::newRow("empty name kept, groups ignored") << 2 << u"bob@example.com"_qs << QString() << 1LL << 705e6
                                                         << 705e6 << QStringList{u"h"_qs};
        QTest::newRow("without prefix") << 3 << u"5551230003"_qs << u"5551230003"_qs << 1LL << 650e6 << 650e6
                                        << QStringList{u"f"_qs};
        QTest::newRow("with prefix, one without text") << 4 << u"+15551230003"_qs << u"+15551230003"_qs << 2LL << 600e6
                                                       << 601e6 << QStringList{u"g"_qs};
    }

    void listing()
    {
        QHash<QString, Ids> chats;
        {
            FixtureDb db(m_home->chatDbPath());
            const qint64 alice = db.addHandle(u"alice@example.com"_qs);
            const qint64 bob = db.addHandle(u"bob@example.com"_qs);
            const qint64 carol = db.addHandle(u"carol@example.com"_qs);
            const qint64 quiet = db.addHandle(u"quiet@example.com"_qs);
            chats = {{u"alice@example.com"_qs, {db.addChat({alice})}}, {u"bob@example.com"_qs, {db.addChat({bob})}}};
            const QList<std::pair<QString, QString>> direct{{u"+15551230001"_qs, u"iMessage"_qs},
                {u"+15551230001"_qs, u"SMS"_qs}, {u"5551230003"_qs, u"SMS"_qs}, {u"+15551230003"_qs, u"SMS"_qs}};
            for (const auto &[id, service] : direct)
                chats[id] << db.addChat({db.addHandle(id, service)}, service);
            db.addChat({quiet});
            const Ids phone = chats[u"+15551230001"_qs];
            const Ids prefixed = chats[u"+15551230003"_qs];
            db.addMessage(phone[0], 680'000'000 * ns, false, u"a"_qs);
            db.addMessage(phone[0], 700'000'100 * ns, true, u"b"_qs);
            db.addMessage(phone[1], 690'000'000, false, u"c"_qs);
            db.addMessage(phone[1], 710'000'000, true, std::nullopt, FixtureDb::archiveBody(u"d"_qs));
            db.addMessage(chats[u"alice@example.com"_qs][0], 730'000'000, false, u"e"_qs);
            db.addMessage(chats[u"5551230003"_qs][0], 650'000'000, false, u"f"_qs);
            db.addMessage(prefixed[0], 600'000'000, false, u"g"_qs);
            db.addMessage(prefixed[0], 601'000'000, true, std::nullopt); // counted although it has no text
            db.addMessage(chats[u"bob@example.com"_qs][0], 705'000'000, false, u"h"_qs);
            for (const Ids &group : {Ids{bob, carol}, Ids{alice, bob, carol}, Ids{carol, quiet}})
                db.addMessage(db.addChat(group), 740'000'000, true, u"group"_qs);
            for (const QString &service : {u"iMessage"_qs, u"SMS"_qs}) // an empty id, then a NULL one
                db.addMessage(db.addChat({db.addHandle({}, service, service == u"SMS")}, service), 745'000'000, false,
                              u"i"_qs);
            QCOMPARE(sqlite3_exec(db.handle(), "UPDATE message SET is_from_me = CASE text WHEN 'a' THEN 2 "
                                               "WHEN 'c' THEN NULL ELSE is_from_me END", nullptr, nullptr, nullptr),
                     SQLITE_OK);
        }
        const ChatDatabase snapshot(m_home->chatDbPath());
        int asked = 0;
        const QList<Conversation> list = snapshot.loadConversations([&](const QString &handle) -> Text {
            ++asked;
            if (handle == u"alice@example.com")
                return u"Alice Example"_qs;
            return handle == u"bob@example.com" ? Text(u""_qs) : std::nullopt;
        });
        QCOMPARE(list.size(), 5);
        QCOMPARE(asked, 5); // names only for the listed handles

        QFETCH(int, position);
        QFETCH(QString, handle);
        QFETCH(QString, name);
        QFETCH(qint64, count);
        QFETCH(RefDate, first);
        QFETCH(RefDate, last);
        QFETCH(QStringList, messages);
        const Conversation &c = list[position];
        QCOMPARE(c.id(), handle);
        QCOMPARE(c.displayName, name);
        QCOMPARE(c.chatRowIds, chats.value(handle));
        QCOMPARE(c.messageCount, count);
        QCOMPARE(c.firstMessageDate, std::optional<RefDate>(first));
        QCOMPARE(c.lastMessageDate, std::optional<RefDate>(last));
        QCOMPARE(texts(snapshot.loadMessages(c)), messages);
        QVERIFY(snapshot.loadMessages(Conversation{}).isEmpty());
    }

    void dates_data()
    {
        QTest::addColumn<qint64>("raw");
        QTest::addColumn<RefDate>("seconds");
        QTest::addColumn<QString>("stamp"); // in UTC
        constexpr qint64 int64Max = std::numeric_limits<qint64>::max(), int64Min = std::numeric_limits<qint64>::min();
        QTest::newRow("nanoseconds") << 700'000'000'000'000'000LL << 700e6 << u"2023-03-08T20:26:40"_qs;
        QTest::newRow("1e12 + 1 is nanoseconds") << 1'000'000'000'001LL << 1000.000000001 << u"2001-01-01T00:16:40"_qs;
        // A corrupted database: far dates stop at the last and first days a stamp can show.
        QTest::newRow("1e12 is seconds") << 1'000'000'000'000LL << 1e12 << u"9999-12-30T00:00:00"_qs;
        QTest::newRow("largest") << int64Max << double(int64Max) / 1e9 << u"2293-04-11T23:47:16"_qs;
        QTest::newRow("far past") << -9'300'000'000'000'000LL << -9.3e15 << u"0001-01-02T00:00:00"_qs;
        QTest::newRow("smallest") << int64Min << double(int64Min) << u"0001-01-02T00:00:00"_qs;
    }

    void dates()
    {
        QFETCH(qint64, raw);
        QFETCH(RefDate, seconds);
        QFETCH(QString, stamp);
        {
            FixtureDb db(m_home->chatDbPath());
            db.addMessage(db.addChat({db.addHandle(u"a@b.c"_qs)}), raw, true, u"x"_qs);
        }
        const ChatDatabase snapshot(m_home->chatDbPath());
        const Conversation conversation = snapshot.loadConversations(noNames).value(0);
        QCOMPARE(conversation.lastMessageDate, std::optional(seconds));
        const QList<ChatMessage> messages = snapshot.loadMessages(conversation);
        QCOMPARE(messages.value(0).date, std::optional(seconds));
        const DateFormatter utc(u"yyyy-MM-dd'T'HH:mm:ss"_qs, QLocale::c(), QTimeZone::utc());
        QCOMPARE(utc.string(seconds), stamp);
        QCOMPARE(Transcript::build(messages, {}).size(), 28); // "[I] " + a 16-character stamp + " You: x\n"
    }

    void messageText_data()
    {
        QTest::addColumn<Text>("text");
        QTest::addColumn<Blob>("body");
        QTest::addColumn<Text>("expected");
        const Text none;
        const Blob noBody;
        const Blob hello = FixtureDb::archiveBody(u"from body"_qs);
        QTest::newRow("text wins over body") << Text(u"Hello"_qs) << hello << Text(u"Hello"_qs);
        QTest::newRow("empty text, body") << Text(u""_qs) << hello << Text(u"from body"_qs);
        QTest::newRow("trimmed, inner breaks kept") << Text(u" \u00a0one\n\ntwo\r\nthree\u3000\u2029"_qs) << noBody
                                                    << Text(u"one\n\ntwo\r\nthree"_qs);
        QTest::newRow("body text trimmed") << none << Blob(FixtureDb::archiveBody(u"\n body \n"_qs)) << Text(u"body"_qs);
        QTest::newRow("text ends at NUL") << Text(QString::fromUtf8("Ça va? 😀\0def", 14)) << noBody
                                          << Text(QString::fromUtf8("Ça va? 😀"));
        QTest::newRow("whitespace text, body ignored") << Text(u" \t\n"_qs) << hello << none;
        QTest::newRow("undecodable body") << none << Blob(QByteArray("NSString+\x03\xff\xfe\xfd")) << none;
    }

    // A message without text is skipped; the ones after it still come.
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
        const auto messages = ChatDatabase(m_home->chatDbPath()).loadMessages(Conversation{{}, {}, {chat}, 2, {}, {}});
        QCOMPARE(texts(messages), expected ? QStringList({*expected, u"me: marker"_qs}) : QStringList{u"me: marker"_qs});
    }
};

QTEST_GUILESS_MAIN(TestChatDatabase)
#include "test_chatdatabase.moc"
