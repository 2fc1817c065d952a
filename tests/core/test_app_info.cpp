#include "AppInfo.h"

#include <QDate>
#include <QTest>

class TestAppInfo : public QObject {
    Q_OBJECT

private slots:
    void valueOr_data();
    void valueOr();
};

void TestAppInfo::valueOr_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("version text") << QVariant(QStringLiteral("2.3")) << "2.3";
    QTest::newRow("build text") << QVariant(QStringLiteral("41")) << "41";
    QTest::newRow("missing") << QVariant() << "fallback";
    QTest::newRow("empty text") << QVariant(QString()) << "fallback";
    QTest::newRow("number") << QVariant(41) << "fallback";
    QTest::newRow("real number") << QVariant(2.3) << "fallback";
    QTest::newRow("bytes") << QVariant(QByteArray("2.3")) << "fallback";
    QTest::newRow("date") << QVariant(QDate(2024, 3, 5)) << "fallback";
    QTest::newRow("dictionary") << QVariant(QVariantMap{{"a", "b"}}) << "fallback";
}

void TestAppInfo::valueOr()
{
    QFETCH(QVariant, value);
    QFETCH(QString, expected);
    QCOMPARE(AppInfo::valueOr(value, "fallback"), expected);
}

QTEST_GUILESS_MAIN(TestAppInfo)
#include "test_app_info.moc"
