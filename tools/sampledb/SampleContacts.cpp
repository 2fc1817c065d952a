#include "SampleContacts.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSet>

#include <algorithm>
#include <numeric>
#include <stdexcept>

namespace {
struct Person {
    const char *given;
    const char *family;
    const char *prefix;   // "" when none
    bool familyFirst;     // how the full name reads in its own script
};

// Accents, several scripts (right-to-left among them), particles, apostrophes, hyphens.
const Person people[] = {
    {"Anna", "Müller", "", false},         {"José", "Álvarez", "", false},
    {"Zoë", "Chen", "", false},            {"Siobhán", "O'Neill", "", false},
    {"Łukasz", "Nowak", "", false},        {"Björn", "Ångström", "", false},
    {"محمد", "العلي", "", false},          {"דנה", "כהן", "", false},
    {"花子", "田中", "", true},            {"Priya", "Raman", "Dr.", false},
    {"Jean-Luc", "Picard", "", false},     {"Chloé", "Dubois", "", false},
    {"Adébáyọ̀", "Ọlábísí", "", false},    {"Minh Khai", "Nguyễn", "", true},
    {"Ελένη", "Παπαδοπούλου", "", false},  {"Ольга", "Иванова", "", false},
    {"Søren", "Kierkegaard", "", false},   {"Ludwig", "van Beethoven", "", false},
    {"Mary", "Smith-Jones", "Mrs.", false}, {"지민", "박", "", true},
};

// Names people give the ones they text most.
const char *nicknames[] = {"Mum ❤️", "Grandpa 👴", "Coach Dave 🏀", "Work – Sarah", "Jess 🌸✨"};

class CardWriter {
public:
    explicit CardWriter(QRandomGenerator &random) : m_random(random) {}

    void card(const QString &version, const QString &formatted, const Person *person,
              const QStringList &phones, const QStringList &emails, bool foldName)
    {
        line("BEGIN:VCARD");
        line(QStringLiteral("VERSION:") + version);
        const bool v21 = version == u"2.1";
        if (person) {
            const QString n = QStringLiteral("%1;%2;;%3;").arg(QString::fromUtf8(person->family),
                QString::fromUtf8(person->given), QString::fromUtf8(person->prefix));
            property(v21, QStringLiteral("N"), n, false);
        } else if (!v21) {
            line("N:;;;;");
        }
        // vCard 2.1 has no required FN; some phones leave it out and readers compose N.
        if (!(v21 && person && m_random.bounded(2) == 0))
            property(v21, QStringLiteral("FN"), escaped(formatted), foldName);
        const char *phoneTypes[] = {"CELL", "HOME", "WORK"};
        for (const QString &phone : phones) {
            const char *type = phoneTypes[m_random.bounded(3)];
            if (v21)
                line(QStringLiteral("TEL;%1:%2").arg(QLatin1String(type), phone));
            else if (version == u"4.0")
                line(QStringLiteral("TEL;TYPE=%1;VALUE=text:%2").arg(QString::fromLatin1(type).toLower(), phone));
            else
                line(QStringLiteral("TEL;TYPE=%1:%2").arg(QLatin1String(type), phone));
        }
        for (qsizetype i = 0; i < emails.size(); ++i) {
            if (v21)
                line(QStringLiteral("EMAIL;INTERNET:") + emails[i]);
            else  // grouped, as the macOS address book exports them
                line(QStringLiteral("item%1.EMAIL;TYPE=INTERNET:%2").arg(i + 1).arg(emails[i]));
        }
        if (m_random.bounded(4) == 0)
            property(v21, QStringLiteral("NOTE"), escaped(QStringLiteral(
                "Met at the climbing gym, Tuesdays; ask about the trip to Lisbon, Porto and the coast.\n"
                "Allergic to peanuts.")), false);
        line("END:VCARD");
    }

    const QByteArray &data() const { return m_data; }

private:
    static QString escaped(QString text)
    {
        return text.replace(u'\\', QStringLiteral("\\\\"))
            .replace(u',', QStringLiteral("\\,"))
            .replace(u';', QStringLiteral("\\;"))
            .replace(u'\n', QStringLiteral("\\n"));
    }

    // vCard 2.1 carries non-ASCII text as quoted-printable UTF-8, with soft line breaks.
    void property(bool v21, const QString &name, const QString &value, bool fold)
    {
        const QByteArray utf8 = value.toUtf8();
        const bool ascii = std::all_of(utf8.begin(), utf8.end(), [](char c) { return uchar(c) < 0x80; });
        if (!v21 || ascii) {
            line(name + u':' + value, fold);
            return;
        }
        QByteArray encoded = name.toUtf8() + ";CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:";
        qsizetype width = encoded.size();
        for (char c : utf8) {
            const QByteArray piece = (uchar(c) >= 0x80 || c == '=' || c == '\n')
                ? "=" + QByteArray(1, c).toHex().toUpper() : QByteArray(1, c);
            if (width + piece.size() > 74) {
                encoded += "=\r\n";
                width = 0;
            }
            encoded += piece;
            width += piece.size();
        }
        m_data += encoded + "\r\n";
    }

    // Lines past 75 octets are folded (never inside a UTF-8 sequence); `fold` folds a short one too.
    void line(const QString &text, bool fold = false)
    {
        QByteArray utf8 = text.toUtf8();
        qsizetype limit = fold ? std::max<qsizetype>(4, utf8.size() / 2) : 75;
        while (utf8.size() > limit) {
            qsizetype cut = limit;
            while (cut > 1 && (uchar(utf8[cut]) & 0xC0) == 0x80)
                --cut;
            m_data += utf8.left(cut) + "\r\n ";
            utf8.remove(0, cut);
            limit = 74;
        }
        m_data += utf8 + "\r\n";
    }
    void line(const char *text) { line(QString::fromUtf8(text)); }

    QRandomGenerator &m_random;
    QByteArray m_data;
};

// The handle's number as a person would have typed it into the address book.
QString writtenNumber(const QString &handle, QRandomGenerator &random)
{
    QString digits;
    for (QChar c : handle) {
        if (c.isDigit())
            digits += c;
    }
    if (digits.size() < 10)
        return digits.size() > 4 ? digits.left(3) + u'-' + digits.mid(3) : digits;
    const QString national = digits.right(10);
    const QString a = national.left(3), b = national.mid(3, 3), c = national.mid(6);
    if (digits.size() == 10 || (digits.size() == 11 && digits.startsWith(u'1'))) {
        switch (random.bounded(5)) {
        case 0: return QStringLiteral("(%1) %2-%3").arg(a, b, c);
        case 1: return QStringLiteral("%1-%2-%3").arg(a, b, c);
        case 2: return QStringLiteral("%1.%2.%3").arg(a, b, c);
        case 3: return QStringLiteral("+1 %1 %2 %3").arg(a, b, c);
        default: return QStringLiteral("1 (%1) %2-%3").arg(a, b, c);
        }
    }
    // Elsewhere: the country code is one to three digits, so write all of them, grouped, or the
    // national form with a trunk zero when that still holds the last ten digits.
    QString grouped;
    for (qsizetype i = 2; i < digits.size(); i += 4)
        grouped += u' ' + digits.mid(i, 4);
    switch (random.bounded(3)) {
    case 0:
        if (digits.size() >= 12)
            return u'0' + grouped.mid(1);
        [[fallthrough]];
    case 1: return u'+' + digits.left(2) + grouped;
    default: return QStringLiteral("00") + digits;
    }
}

QString writtenEmail(const QString &handle, QRandomGenerator &random)
{
    const qsizetype at = handle.indexOf(u'@');
    QString local = handle.left(at);
    QString domain = handle.mid(at);
    switch (random.bounded(4)) {
    case 0: return handle.toUpper();
    case 1: return local.left(1).toUpper() + local.mid(1) + domain.toUpper();
    case 2: return handle.toLower();
    default: return handle;
    }
}

// A number no handle uses, so a second number on a card names nothing by accident.
QString spareNumber(QSet<QString> &taken, QRandomGenerator &random)
{
    for (;;) {
        const QString number = QStringLiteral("555%1").arg(random.bounded(10'000'000), 7, 10, QLatin1Char('0'));
        if (!taken.contains(number)) {
            taken.insert(number);
            return QStringLiteral("+1 (%1) %2-%3").arg(number.left(3), number.mid(3, 3), number.mid(6));
        }
    }
}
} // namespace

void writeSampleContacts(const QString &vcfPath, const QStringList &handles, quint64 seed, double namedFraction)
{
    const quint32 seedWords[] = {quint32(seed), quint32(seed >> 32)};
    QRandomGenerator random(seedWords, 2);

    QSet<QString> takenNumbers;
    for (const QString &handle : handles) {
        QString digits;
        for (QChar c : handle) {
            if (c.isDigit())
                digits += c;
        }
        takenNumbers.insert(digits.right(10));
    }

    QList<qsizetype> order(handles.size());
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), random);
    const qsizetype named = qBound<qsizetype>(0, qRound64(double(handles.size()) * namedFraction), handles.size());

    CardWriter writer(random);
    auto version = [&random] {
        const quint32 pick = random.bounded(10);
        return pick < 7 ? QStringLiteral("3.0") : pick < 9 ? QStringLiteral("4.0") : QStringLiteral("2.1");
    };
    for (qsizetype i = 0; i < named; ++i) {
        const QString &handle = handles[order[i]];
        const Person &person = people[random.bounded(quint32(std::size(people)))];
        const bool nickname = random.bounded(8) == 0;
        const QString given = QString::fromUtf8(person.given), family = QString::fromUtf8(person.family);
        QString formatted = nickname ? QString::fromUtf8(nicknames[random.bounded(quint32(std::size(nicknames)))])
            : person.familyFirst ? family + u' ' + given
            : (QString::fromUtf8(person.prefix) + u' ' + given + u' ' + family).trimmed();

        QStringList phones, emails;
        if (handle.contains(u'@')) {
            emails.append(writtenEmail(handle, random));
            if (random.bounded(2) == 0)
                phones.append(spareNumber(takenNumbers, random));
        } else {
            phones.append(writtenNumber(handle, random));
            if (random.bounded(3) == 0)
                phones.append(spareNumber(takenNumbers, random));
        }
        writer.card(version(), formatted, nickname ? nullptr : &person, phones, emails, random.bounded(6) == 0);
    }
    // People in the address book who never wrote.
    for (int i = 0; i < 5; ++i) {
        const Person &person = people[random.bounded(quint32(std::size(people)))];
        writer.card(version(), QString::fromUtf8(person.given) + u' ' + QString::fromUtf8(person.family), &person,
                    {spareNumber(takenNumbers, random)}, {}, false);
    }

    QDir().mkpath(QFileInfo(vcfPath).absolutePath());
    QSaveFile file(vcfPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(writer.data()) != writer.data().size() || !file.commit())
        throw std::runtime_error("cannot write " + vcfPath.toStdString() + ": " + file.errorString().toStdString());
}
