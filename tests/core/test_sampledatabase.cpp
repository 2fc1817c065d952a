#include "ChatDatabase.h"
#include "SampleDatabase.h"
#include "TestEnv.h"

#include <QTest>

#include <sqlite3.h>

#include <thread>

namespace {
SampleOptions smallOptions(quint64 seed)
{
    SampleOptions o;
    o.seed = seed;
    o.handles = 60;
    o.directChats = 50;
    o.groupChats = 6;
    o.messages = 6000;
    o.longConversationMessages = 1500;
    o.walMessages = 30;
    return o;
}

qint64 count(const QString &path, const char *where)
{
    sqlite3 *db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(db, (QByteArray("SELECT COUNT(*) FROM message WHERE ") + where).constData(), -1, &stmt, nullptr);
    const qint64 n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return n;
}

const ChatDatabase::NameFor noNames = [](const QString &) { return std::nullopt; };
} // namespace

class TestSampleDatabase : public QObject {
    Q_OBJECT
    ScopedHome m_home;

private slots:
    // The rows the reader must get through are all there, in realistic proportions.
    void covers_data()
    {
        QTest::addColumn<QByteArray>("where");
        QTest::newRow("dates in nanoseconds") << QByteArray("date > 1000000000000");
        QTest::newRow("dates in seconds") << QByteArray("date <= 1000000000000");
        QTest::newRow("text only in body") << QByteArray("text IS NULL AND attributedBody IS NOT NULL");
        QTest::newRow("empty text with body") << QByteArray("text = '' AND attributedBody IS NOT NULL");
        QTest::newRow("0x81 length") << QByteArray("instr(attributedBody, x'4e53537472696e67019484012b81') > 0");
        QTest::newRow("0x82 length") << QByteArray("instr(attributedBody, x'4e53537472696e67019484012b82') > 0");
        QTest::newRow("whitespace only") << QByteArray("text = ' \n\t '");
        QTest::newRow("neither text nor body") << QByteArray("text IS NULL AND attributedBody IS NULL");
        QTest::newRow("empty text, no body") << QByteArray("text = '' AND attributedBody IS NULL");
        QTest::newRow("multi-line") << QByteArray("instr(text, char(10)) > 1");
        QTest::newRow("emoji") << QByteArray("text LIKE '%😂%'");
        QTest::newRow("right-to-left") << QByteArray("text LIKE '%שלום%' OR text LIKE '%مرحبا%'");
        QTest::newRow("accents") << QByteArray("text LIKE '%à tout%'");
    }

    void covers()
    {
        QFETCH(QByteArray, where);
        const QString path = m_home.tmp() + u"/cover/chat.db"_qs;
        if (!QFile::exists(path))
            writeSampleDatabase(path, smallOptions(7));
        QVERIFY(count(path, where.constData()) > 0);
    }

    // What the summary promises is what the reader finds, and the same seed gives the same history.
    void readBack()
    {
        const QString a = m_home.tmp() + u"/a/chat.db"_qs;
        const QString b = m_home.tmp() + u"/b/chat.db"_qs;
        const QString c = m_home.tmp() + u"/c/chat.db"_qs;
        const SampleSummary summary = writeSampleDatabase(a, smallOptions(3));
        writeSampleDatabase(b, smallOptions(3));
        writeSampleDatabase(c, smallOptions(4));
        QCOMPARE(summary.messages, 6000LL);
        QCOMPARE(summary.walMessages, 30LL);
        QCOMPARE(summary.longMessages, 1500LL);
        QCOMPARE(summary.directChats, 50);
        QVERIFY(QFileInfo(a + u"-wal"_qs).size() > 0);

        const ChatDatabase snapshot(a);
        const QList<Conversation> list = snapshot.loadConversations(noNames);
        QCOMPARE(list, ChatDatabase(b).loadConversations(noNames));
        QVERIFY(list != ChatDatabase(c).loadConversations(noNames));
        QCOMPARE(list.first().handle, summary.walOnlyPartner);

        QSet<QString> listed;
        for (const Conversation &conv : list) {
            listed.insert(conv.handle);
            for (const ChatMessage &m : snapshot.loadMessages(conv))
                QVERIFY(!m.text.isEmpty() && m.text == m.text.trimmed());
        }
        // One entry per handle text, never an empty one, none beyond the one-to-one chats.
        QSet<QString> ids;
        for (const SampleHandle &h : summary.handles)
            ids.insert(h.id);
        ids.remove(QString());
        QCOMPARE(listed.size(), list.size());
        QVERIFY(listed.subtract(ids).isEmpty());
        QVERIFY(list.size() < summary.directChats - 1);
        const auto longOne = std::find_if(list.begin(), list.end(),
                                          [&](const Conversation &conv) { return conv.handle == summary.longPartner; });
        QVERIFY(longOne != list.end());
        QCOMPARE(longOne->chatRowIds, summary.longChatIds);
        QCOMPARE(longOne->messageCount, summary.longMessages);
        const QList<ChatMessage> messages = snapshot.loadMessages(*longOne);
        QVERIFY(messages.size() > summary.longMessages * 8 / 10);
        QVERIFY(std::is_sorted(messages.begin(), messages.end(),
                               [](const ChatMessage &x, const ChatMessage &y) { return *x.date < *y.date; }));
        QVERIFY(std::any_of(messages.begin(), messages.end(),
                            [](const ChatMessage &m) { return m.text.endsWith(QString::fromUtf8("the end 🏁")); }));

        // Snapshots share nothing: two worker threads make, read and drop their own at once.
        QList<Conversation> seen[2];
        qsizetype loaded[2] = {0, 0};
        const auto work = [&](int i) {
            const ChatDatabase own(a);
            seen[i] = own.loadConversations(noNames);
            loaded[i] = own.loadMessages(*longOne).size();
        };
        std::thread first(work, 0);
        std::thread second(work, 1);
        first.join();
        second.join();
        QCOMPARE(seen[0], list);
        QCOMPARE(seen[1], list);
        QCOMPARE(loaded[0], messages.size());
        QCOMPARE(loaded[1], messages.size());
        QVERIFY(m_home.snapshotDirs().size() == 1); // only `snapshot`, still open here
    }
};

QTEST_GUILESS_MAIN(TestSampleDatabase)
#include "test_sampledatabase.moc"
