#include "Transcript.h"

#include <QTest>

// The shared formatters read the user's locale once per process, so this test has a process of
// its own whose locale is German from the start.
class TestDateLocale : public QObject {
    Q_OBJECT

private slots:
    void monthYearIsLocalised_data()
    {
        QTest::addColumn<int>("month");
        QTest::addColumn<QString>("expected");
        QTest::newRow("abbreviated with a dot") << 1 << "Jan. 2024";
        QTest::newRow("short name, umlaut") << 3 << "M\u00e4rz 2024";
    }

    void monthYearIsLocalised()
    {
        QFETCH(int, month);
        QFETCH(QString, expected);
        const RefDate date = RefDates::fromDateTime(QDateTime(QDate(2024, month, 15), QTime(12, 0), Qt::UTC));
        QCOMPARE(DateFmt::monthYearFormatter().string(date), expected);
        // The stamp stays POSIX whatever the user's locale.
        QVERIFY(QRegularExpression("^2024-0\\d-1[45] \\d\\d:\\d\\d$").match(DateFmt::stampFormatter().string(date)).hasMatch());
    }
};

int main(int argc, char **argv)
{
    qputenv("LC_ALL", "de_DE.UTF-8");
    QCoreApplication app(argc, argv);
    TestDateLocale test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_date_locale.moc"
