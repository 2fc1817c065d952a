// The sample generator is demo and benchmark support: the same seed writes the same history,
// and what it writes reads back through the real reader.
#include "ChatDatabase.h"
#include "SampleDatabase.h"
#include "TestEnv.h"

#include <QTest>

#include <future>

class TestSampleDatabase : public QObject {
    Q_OBJECT
    ScopedHome m_home;

private slots:
    void sameSeedSameHistory()
    {
        const auto write = [&](const QString &name, quint64 seed) {
            const QString path = m_home.tmp() + name;
            return std::pair(path, writeSampleDatabase(path, {.seed = seed, .handles = 60, .directChats = 50,
                                                               .groupChats = 6, .messages = 6000,
                                                               .longConversationMessages = 1500, .walMessages = 30}));
        };
        const ChatDatabase::NameFor noNames = [](const QString &) { return std::nullopt; };
        const auto [a, summary] = write(u"/a/chat.db"_qs, 3);
        const ChatDatabase snapshot(a);
        const QList<Conversation> list = snapshot.loadConversations(noNames);
        QCOMPARE(list, ChatDatabase(write(u"/b/chat.db"_qs, 3).first).loadConversations(noNames));
        QVERIFY(list != ChatDatabase(write(u"/c/chat.db"_qs, 4).first).loadConversations(noNames));
        QCOMPARE(list.first().handle, summary.walOnlyPartner);

        const auto longOne = std::find_if(list.begin(), list.end(),
                                          [&](const Conversation &conv) { return conv.handle == summary.longPartner; });
        const qsizetype loaded = longOne == list.end() ? 0 : snapshot.loadMessages(*longOne).size();
        QVERIFY(loaded > summary.longMessages * 8 / 10);

        // Snapshots share nothing: two worker threads make, read and drop their own at once.
        const auto work = [&] {
            const ChatDatabase own(a);
            return std::pair(own.loadConversations(noNames), own.loadMessages(*longOne).size());
        };
        auto first = std::async(std::launch::async, work);
        auto second = std::async(std::launch::async, work);
        for (auto *worker : {&first, &second})
            QCOMPARE(worker->get(), std::pair(list, loaded));
        QCOMPARE(m_home.snapshotDirs().size(), 1); // only `snapshot`, still open here
    }
};

QTEST_GUILESS_MAIN(TestSampleDatabase)
#include "test_sampledatabase.moc"
