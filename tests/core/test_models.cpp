#include "Models.h"

#include <QTest>

class TestModels : public QObject {
    Q_OBJECT
private slots:
    void identity_data()
    {
        QTest::addColumn<Conversation>("a");
        QTest::addColumn<Conversation>("b");
        QTest::addColumn<bool>("equal");
        const Conversation base{u"+15550001"_qs, u"Ann"_qs, {3, 7}, 5, 10.0, 20.0};
        auto with = [&](auto change) {
            Conversation c = base;
            change(c);
            return c;
        };
        QTest::newRow("same fields") << base << base << true;
        QTest::newRow("same handle, other count") << base << with([](Conversation &c) { c.messageCount = 6; }) << false;
        QTest::newRow("chat ids reordered") << base << with([](Conversation &c) { c.chatRowIds = {7, 3}; }) << false;
        QTest::newRow("chat ids split differently")
            << with([](Conversation &c) { c.chatRowIds = {3}; }) << with([](Conversation &c) { c.chatRowIds = {3, 0}; })
            << false;
        QTest::newRow("both dates absent") << with([](Conversation &c) { c.firstMessageDate = c.lastMessageDate = {}; })
                                           << with([](Conversation &c) { c.firstMessageDate = c.lastMessageDate = {}; })
                                           << true;
        QTest::newRow("absent vs present last date") << base << with([](Conversation &c) { c.lastMessageDate = {}; })
                                                     << false;
        QTest::newRow("absent vs zero date") << with([](Conversation &c) { c.firstMessageDate = {}; })
                                             << with([](Conversation &c) { c.firstMessageDate = 0.0; }) << false;
        QTest::newRow("zero and negative zero") << with([](Conversation &c) { c.lastMessageDate = 0.0; })
                                                << with([](Conversation &c) { c.lastMessageDate = -0.0; }) << true;
        QTest::newRow("dates swapped between fields")
            << with([](Conversation &c) { c.firstMessageDate = {}; })
            << with([](Conversation &c) { c.firstMessageDate = 20.0, c.lastMessageDate = {}; }) << false;
    }

    void identity()
    {
        QFETCH(Conversation, a);
        QFETCH(Conversation, b);
        QFETCH(bool, equal);
        QCOMPARE(a.id(), a.handle);
        QCOMPARE(a == b, equal);
        if (equal)
            QCOMPARE(qHash(a, 42), qHash(b, 42));
        else
            QVERIFY(qHash(a, 42) != qHash(b, 42)); // not required, but a collision here means lost fields
        QSet<Conversation> set{a, b};
        QCOMPARE(set.size(), equal ? 1 : 2);
    }
};

QTEST_GUILESS_MAIN(TestModels)
#include "test_models.moc"
