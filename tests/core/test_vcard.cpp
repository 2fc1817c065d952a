#include "VCard.h"

#include <QTest>

namespace {
// One card per line: name|phones|addresses.
QString render(const QList<ContactCard> &cards)
{
    QStringList lines;
    for (const ContactCard &card : cards)
        lines.append(card.fullName + u'|' + card.phones.join(u',') + u'|' + card.emails.join(u','));
    return lines.join(u'\n');
}

QByteArray card(const QByteArray &version, const QByteArray &body)
{
    return "BEGIN:VCARD\r\nVERSION:" + version + "\r\n" + body + "END:VCARD\r\n";
}
} // namespace

class TestVCard : public QObject {
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("expected");

        QTest::newRow("3.0 folding drops one blank")
            << card("3.0", "FN:Anna Ma\r\n ria M\xc3\xbc\r\n  ller\r\nTEL;TYPE=CELL:+1 555\r\n\t123 4567\r\n")
            << "Anna Maria M\u00fc ller|+1 555123 4567|";
        QTest::newRow("2.1 folding keeps the blank")
            << card("2.1", "FN:Anna\r\n Maria\r\nTEL;CELL:555-1234\r\n") << "Anna Maria|555-1234|";
        QTest::newRow("4.0 folding inside a UTF-8 name")
            << card("4.0", "FN:Zo\xc3\r\n \xab Chen\r\n") << "Zo\u00eb Chen||";
        QTest::newRow("escapes")
            << card("3.0", "FN:O\\,Brien\\; Sons \\\\ Co\\nLtd \\x\r\nEMAIL:a\\,b@x.org\r\n")
            << "O,Brien; Sons \\ Co\nLtd \\x||a,b@x.org";
        QTest::newRow("N composes a missing FN")
            << card("3.0", "N:Picard;Jean-Luc;;Capt.;PhD\r\n") << "Capt. Jean-Luc Picard PhD||";
        QTest::newRow("N composes a blank FN, comma lists")
            << card("4.0", "FN:  \r\nN:Nowak;\xc5\x81ukasz;Jan,Piotr;;\r\n") << "\u0141ukasz Jan Piotr Nowak||";
        QTest::newRow("quoted-printable UTF-8 with soft break")
            << card("2.1", "FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Bj=C3=B6rn =\r\n=C3=85ngstr=C3=B6m\r\n")
            << "Bj\u00f6rn \u00c5ngstr\u00f6m||";
        QTest::newRow("quoted-printable Latin-1, bare parameter")
            << card("2.1", "FN;QUOTED-PRINTABLE;CHARSET=ISO-8859-1:Ren=E9 =3D 1\r\n") << "Ren\u00e9 = 1||";
        QTest::newRow("Latin-1 bytes without a charset") << card("2.1", "FN:Ren\xe9\r\n") << "Ren\u00e9||";
        QTest::newRow("Latin-1 bytes, unknown charset") << card("2.1", "FN;CHARSET=X-NONE:Ren\xe9\r\n") << "Ren\u00e9||";
        QTest::newRow("Windows-1252 quotes and euro")
            << card("2.1", "FN;CHARSET=Windows-1252:\x93" "Bob\x94 \x80\r\n") << "\u201cBob\u201d \u20ac||";
        QTest::newRow("Shift_JIS, quoted-printable")
            << card("2.1", "FN;CHARSET=SHIFT_JIS;ENCODING=QUOTED-PRINTABLE:=93=63=92=86\r\n") << "\u7530\u4e2d||";
        QTest::newRow("every TEL and EMAIL, grouped, lower case, tel: URI")
            << QByteArray("begin:vcard\nversion:4.0\nfn:Kim\nitem1.EMAIL;type=INTERNET:Kim@X.org\n"
                          "TEL;VALUE=uri;TYPE=\"voice,cell\":tel:+1-555-123-4567;ext=99\n"
                          "tel;type=home:555 0000\nEMAIL;LABEL=\"a:b\":k2@x.org\nend:vcard\n")
            << "Kim|+1-555-123-4567,555 0000|Kim@X.org,k2@x.org";
        QTest::newRow("several cards; unterminated and broken ones left out")
            << "\xef\xbb\xbfnot a card\r\n" + card("3.0", "FN:One\r\n")
                   + "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Unterminated\r\n" + card("3.0", "FN:Two\r\n")
                   + card("3.0", "FN:No colon\r\nTEL 5551234\r\n") + "BEGIN:VCARD\r\n continues nothing\r\nFN:X\r\nEND:VCARD\r\n"
                   + card("3.0", "FN:Three\r\n") + "BEGIN:VCARD\r\nFN:At end of file\r\n"
            << "One||\nTwo||\nThree||";
    }

    void parse()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, expected);
        QCOMPARE(render(VCard::parse(data)), expected);
    }
};

QTEST_GUILESS_MAIN(TestVCard)
#include "test_vcard.moc"
