#include "Models.h"

#include <QTest>

class TestModels : public QObject {
    Q_OBJECT
private slots:
    // The hash is written by hand beside a defaulted ==: equal conversations must hash alike.
    void equalConversationsHashAlike()
    {
        const Conversation a{u"+15550001"_qs, u"Ann"_qs, {3, 7}, 5, 0.0, 20.0};
        Conversation b = a;
        b.firstMessageDate = -0.0;
        QCOMPARE(a, b);
        QCOMPARE(qHash(a, 42), qHash(b, 42));
        b.firstMessageDate.reset();
        QCOMPARE(QSet<Conversation>({a, b, a}).size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestModels)
#include "test_models.moc"
