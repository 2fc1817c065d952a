#include "AttributedBody.h"
#include "FixtureDb.h"

#include <QTest>

using Text = std::optional<QString>;
Q_DECLARE_METATYPE(Text)

namespace {
// "NSString", the bytes Messages puts before the "+", then whatever the case needs.
QByteArray body(const QByteArray &afterPlus, const QByteArray &beforePlus = QByteArray::fromHex("01948401"))
{
    return QByteArray("\x04\x0bstreamtyped\x84\x84\x84\x08") + "NSString" + beforePlus + '+' + afterPlus;
}

QByteArray le(quint32 value, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
    return out;
}
} // namespace

class TestAttributedBody : public QObject {
    Q_OBJECT
private slots:
    void layouts_data()
    {
        QTest::addColumn<QByteArray>("blob");
        QTest::addColumn<Text>("expected");
        const Text none;

        QTest::newRow("empty blob") << QByteArray() << none;
        QTest::newRow("no class name") << QByteArray("\x01+\x05Hello") << none;
        QTest::newRow("marker ends the blob") << QByteArray("xxNSString") << none;
        QTest::newRow("no plus after marker") << QByteArray("+\x05HelloNSString\x01\x94\x84\x01\x05Hello") << none;
        QTest::newRow("plus is last byte") << body({}) << none;
        QTest::newRow("short length") << body("\x05Hello\x86") << Text(u"Hello"_qs);
        QTest::newRow("short length ends at end") << body("\x05Hello") << Text(u"Hello"_qs);
        QTest::newRow("short length one past end") << body("\x06Hello") << none;
        QTest::newRow("empty string + 00") << body(QByteArray("\x00\x86", 2)) << none;
        QTest::newRow("tag 0x80") << body("\x80\x05Hello") << none;
        QTest::newRow("0x81 one length byte") << body("\x81\x05") << none;
        QTest::newRow("0x81 length 300") << body("\x81\x2c\x01" + QByteArray(300, 'a') + "\x86")
                                         << Text(QString(300, u'a'));
        QTest::newRow("0x81 ends at end") << body(QByteArray("\x81\x03\x00" "abc", 6)) << Text(u"abc"_qs);
        QTest::newRow("0x81 one past end") << body(QByteArray("\x81\x04\x00" "abc", 6)) << none;
        QTest::newRow("0x82 three length bytes, then text") << body(QByteArray("\x82\x03\x00\x00" "abc", 7)) << none;
        QTest::newRow("0x82 four length bytes") << body("\x82" + le(3, 4) + "abc") << Text(u"abc"_qs);
        QTest::newRow("0x82 one past end") << body("\x82" + le(4, 4) + "abc") << none;
        QTest::newRow("0x82 huge length") << body("\x82" + le(0xFFFFFFFF, 4) + "abc") << none;
        QTest::newRow("first plus wins") << body("\x02+\x05Hello") << Text(u"+\x05"_qs);
        QTest::newRow("first marker wins") << body("\x03" "abc" + QByteArray("NSString\x01+\x03xyz")) << Text(u"abc"_qs);
        QTest::newRow("text holds NSString") << body("\x0bNSString+\x05!\x86") << Text(u"NSString+\x05!"_qs);
        QTest::newRow("spaces kept") << body("\x04 hi ") << Text(u" hi "_qs);
        QTest::newRow("lone continuation byte") << body("\x03" "a\x80" "b") << none;
        QTest::newRow("accents emoji rtl") << body("\x0f\xc3\xa9\xf0\x9f\x98\x80 \xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d")
                                           << Text(QString::fromUtf8("é😀 שלום"));
    }

    void layouts()
    {
        QFETCH(QByteArray, blob);
        QFETCH(Text, expected);
        QCOMPARE(AttributedBody::extractText(blob), expected);
    }

    // Blobs as Messages writes them, at each length form's edges; the longest ends in an
    // emoji so a misplaced text start would cut it.
    void archives_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("one byte") << u"a"_qs;
        for (qsizetype bytes : {127, 128, 32767, 32768, 70001}) {
            const qsizetype accents = (bytes - 4) / 4;
            const QString text = QString(accents, u'é') + QString(bytes - 4 - 2 * accents, u'x')
                + QString::fromUtf8("😀");
            QTest::addRow("%lld bytes", qlonglong(text.toUtf8().size())) << text;
        }
        QTest::newRow("multi-line") << u"first line\nsecond line\r\n\u2028third"_qs;
    }

    void archives()
    {
        QFETCH(QString, text);
        QCOMPARE(AttributedBody::extractText(FixtureDb::archiveBody(text)), Text(text));
    }
};

QTEST_GUILESS_MAIN(TestAttributedBody)
#include "test_attributedbody.moc"
