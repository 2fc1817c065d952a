#include "Transcript.h"

#include <QTest>

#include <ctime>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(ChatMessage)

namespace {
// The zone of this process, set before any shared formatter exists: +05:45, no daylight saving.
const char *const homeZone = "Asia/Kathmandu";

void setSystemZone(const char *zone)
{
    qputenv("TZ", zone);
    tzset();
}

RefDate at(int year, int month, int day, int hour, int minute, int second)
{
    return RefDates::fromDateTime(
        QDateTime(QDate(year, month, day), QTime(hour, minute, second), QTimeZone(homeZone)));
}
} // namespace

class TestTranscript : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        setSystemZone(homeZone);
        DateFmt::stampFormatter();
        DateFmt::isoFormatter();
    }

    void build_data()
    {
        QTest::addColumn<QList<ChatMessage>>("messages");
        QTest::addColumn<QString>("partner");
        QTest::addColumn<QByteArray>("expected");

        const RefDate lunch = at(2024, 3, 5, 9, 7, 41);
        const RefDate reply = at(2024, 3, 5, 9, 12, 5);
        QTest::newRow("worked example")
            << QList<ChatMessage>{{lunch, false, u"Are we still on for lunch?"_s},
                                  {reply, true, u"Yes! See you at 1"_s}, {std::nullopt, false, u"lost"_s}}
            << "Mum"
            << QByteArray("[I] 2024-03-05 09:07 Mum: Are we still on for lunch?\n"
                          "[I] 2024-03-05 09:12 You: Yes! See you at 1\n");
        QTest::newRow("only undated") << QList<ChatMessage>{{std::nullopt, true, u"x"_s}} << u"Mum"_s << QByteArray();
        QTest::newRow("undated between, multi-line, non-ASCII")
            << QList<ChatMessage>{{lunch, true, u"Yes!\nSee you at 1"_s}, {std::nullopt, false, u"gone"_s},
                                  {reply, false, u"Bis gleich \u2764\ufe0f"_s}}
            << "Jos\u00e9"
            << QByteArray("[I] 2024-03-05 09:07 You: Yes!\nSee you at 1\n"
                          "[I] 2024-03-05 09:12 Jos\xc3\xa9: Bis gleich \xe2\x9d\xa4\xef\xb8\x8f\n");
        QTest::newRow("You is only the user; empty partner")
            << QList<ChatMessage>{{lunch, false, u"hi"_s}, {reply, true, QString()}} << QString()
            << QByteArray("[I] 2024-03-05 09:07 : hi\n[I] 2024-03-05 09:12 You: \n");
        QTest::newRow("24-hour clock, seconds cut, not rounded")
            << QList<ChatMessage>{{at(2023, 12, 31, 23, 59, 59) + 0.999, false, u"late"_s},
                                  {at(2024, 1, 1, 0, 5, 0), false, u"early"_s}}
            << "You"
            << QByteArray("[I] 2023-12-31 23:59 You: late\n[I] 2024-01-01 00:05 You: early\n");
    }

    void build()
    {
        QFETCH(QList<ChatMessage>, messages);
        QFETCH(QString, partner);
        QFETCH(QByteArray, expected);
        QCOMPARE(Transcript::build(messages, partner).toUtf8(), expected);
    }

    void zoneCapturedAtFirstUse()
    {
        const RefDate date = at(2024, 3, 5, 9, 7, 41);
        setSystemZone("America/New_York");
        const auto restore = qScopeGuard([] { setSystemZone(homeZone); });

        // The change is real for a formatter made now...
        QCOMPARE(DateFormatter(u"yyyy-MM-dd HH:mm"_s, QLocale::c(), QTimeZone::systemTimeZone()).string(date),
                 u"2024-03-04 22:22"_s);
        // ...and does not reach the shared ones, made before it.
        QCOMPARE(DateFmt::stampFormatter().string(date), u"2024-03-05 09:07"_s);
        QCOMPARE(DateFmt::isoFormatter().string(date), u"2024-03-05T09:07:41"_s);
    }

    void directFormattingMatchesQt_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QDateTime>("from");  // a day, every seven minutes and a bit

        QTest::newRow("spring forward") << QByteArray("America/New_York") << "yyyy-MM-dd'T'HH:mm:ss"
                                        << QDateTime(QDate(2024, 3, 10), QTime(0, 0), Qt::UTC);
        QTest::newRow("half-hour shift") << QByteArray("Australia/Lord_Howe") << "dd.MM.yyyy HH:mm:ss"
                                         << QDateTime(QDate(2024, 4, 6), QTime(12, 0), Qt::UTC);
        QTest::newRow("before 1970, quotes") << QByteArray("Asia/Kathmandu") << "'at' HH''mm 'o''clock' yyyy"
                                             << QDateTime(QDate(1969, 12, 31), QTime(12, 0), Qt::UTC);
    }

    void directFormattingMatchesQt()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QString, pattern);
        QFETCH(QDateTime, from);
        const QTimeZone timeZone(zone);
        QVERIFY(timeZone.isValid());
        const DateFormatter formatter(pattern, QLocale::c(), timeZone);
        for (qint64 step = 0; step < 24 * 60 * 60; step += 7 * 60 + 13) {
            const QDateTime instant = from.addSecs(step).addMSecs(999);
            QCOMPARE(formatter.string(RefDates::fromDateTime(instant)),
                     QLocale::c().toString(instant.toTimeZone(timeZone), pattern));
        }
    }
};

QTEST_GUILESS_MAIN(TestTranscript)
#include "test_transcript.moc"
