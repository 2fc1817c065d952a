#include "Transcript.h"

#include <QTest>

// The shared formatters read the user's locale once per process, so this test has a process of
// its own whose locale is German from the start.
class TestDateLocale : public QObject {
    Q_OBJECT

private slots:
    void monthYearIsLocalised()
    {
        const RefDate date = RefDates::fromDateTime(QDateTime(QDate(2024, 3, 15), QTime(12, 0), Qt::UTC));
        QCOMPARE(DateFmt::monthYearFormatter().string(date), u"M\u00e4rz 2024"_qs);
        // The stamp stays POSIX whatever the user's locale.
        QVERIFY(DateFmt::stampFormatter().string(date).startsWith(u"2024-03-1"));
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
