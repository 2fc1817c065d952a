#include "ChatDatabase.h"
#include "SampleDatabase.h"
#include "TestEnv.h"

#include <QTest>

#include <sqlite3.h>

#include <future>

namespace {
SampleOptions smallOptions(quint64 seed)
{
    return {.seed = seed, .handles = 60, .directChats = 50, .groupChats = 6, .messages = 6000,
            .longConversationMessages = 1500, .walMessages = 30};
}

const ChatDatabase::NameFor noNames = [](const QString &) { return std::nullopt; };
} // namespace

class TestSampleDatabase : public QObject {
    Q_OBJECT
    ScopedHome m_home;

private slots:
    // The rows the reader must get through are all there.
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
        sqlite3 *db = nullptr;
        sqlite3_stmt *stmt = nullptr;
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM message WHERE " + where, -1, &stmt, nullptr);
        const bool found = sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int64(stmt, 0) > 0;
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        QVERIFY(found);
    }

    // What the summary promises is what the reader finds, and the same seed gives the same history.
    void readBack()
    {
        const auto write = [&](const QString &name, quint64 seed) {
            return std::pair(m_home.tmp() + name, writeSampleDatabase(m_home.tmp() + name, smallOptions(seed)));
        };
        const auto [a, summary] = write(u"/a/chat.db"_qs, 3);
        QVERIFY(QFileInfo(a + u"-wal"_qs).size() > 0);
        const ChatDatabase snapshot(a);
        const QList<Conversation> list = snapshot.loadConversations(noNames);
        QCOMPARE(list, ChatDatabase(write(u"/b/chat.db"_qs, 3).first).loadConversations(noNames));
        QVERIFY(list != ChatDatabase(write(u"/c/chat.db"_qs, 4).first).loadConversations(noNames));
        QCOMPARE(list.first().handle, summary.walOnlyPartner);

        QSet<QString> ids;
        for (const SampleHandle &h : summary.handles)
            ids.insert(h.id);
        ids.remove(QString());
        for (const Conversation &conv : list) {
            QVERIFY(ids.remove(conv.handle)); // one entry per handle text, never an empty one
            for (const ChatMessage &m : snapshot.loadMessages(conv))
                QVERIFY(!m.text.isEmpty() && m.text == m.text.trimmed());
        }

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
        const auto work = [&] {
            const ChatDatabase own(a);
            return std::pair(own.loadConversations(noNames), own.loadMessages(*longOne).size());
        };
        auto first = std::async(std::launch::async, work);
        auto second = std::async(std::launch::async, work);
        for (auto *worker : {&first, &second}) {
            const auto [seen, loaded] = worker->get();
            QCOMPARE(seen, list);
            QCOMPARE(loaded, messages.size());
        }
        QCOMPARE(m_home.snapshotDirs().size(), 1); // only `snapshot`, still open here
    }
};

QTEST_GUILESS_MAIN(TestSampleDatabase)
#include "test_sampledatabase.moc"
