#include "Transcript.h"

namespace {
constexpr qint64 msecsPerDay = 86'400'000;

// The fixed-width numeric fields a direct formatter knows, by letter and run length.
bool isNumericField(char16_t letter, qsizetype count)
{
    switch (letter) {
    case u'y':
        return count == 4;
    case u'M': case u'd': case u'H': case u'm': case u's':
        return count == 2;
    default:
        return false;
    }
}

bool isPatternLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

void appendDigits(QString &out, int value, int width)
{
    char16_t digits[4];
    for (int i = width - 1; i >= 0; --i) {
        digits[i] = char16_t(u'0' + value % 10);
        value /= 10;
    }
    out.append(QStringView(digits, width));
}

QTimeZone currentZone()
{
    const QTimeZone zone = QTimeZone::systemTimeZone();
    // A TZ value Qt cannot read: keep the wall clock's present offset rather than drift to UTC.
    return zone.isValid() ? zone : QTimeZone(QDateTime::currentDateTime().offsetFromUtc());
}
} // namespace

DateFormatter::DateFormatter(QString pattern, QLocale locale, QTimeZone zone)
    : m_pattern(std::move(pattern)), m_locale(std::move(locale)), m_zone(std::move(zone))
{
    if (m_locale == QLocale::c())
        m_numeric = numericPieces(m_pattern);
}

// Unicode pattern syntax: runs of a letter are fields, 'quoted' text and other characters are
// literal, '' is a quote.
QList<DateFormatter::Piece> DateFormatter::numericPieces(const QString &pattern)
{
    QList<Piece> pieces;
    auto literal = [&pieces](QStringView text) {
        if (pieces.isEmpty() || pieces.last().field != 0)
            pieces.append(Piece{0, QString()});
        pieces.last().literal += text;
    };
    for (qsizetype i = 0; i < pattern.size();) {
        const QChar c = pattern[i];
        if (c == u'\'' && i + 1 < pattern.size() && pattern[i + 1] == u'\'') {
            literal(u"'");
            i += 2;
        } else if (c == u'\'') {
            // Inside quotes, as outside, '' stands for one quote.
            for (++i; i < pattern.size(); ++i) {
                if (pattern[i] != u'\'') {
                    literal(QStringView(pattern).sliced(i, 1));
                } else if (i + 1 < pattern.size() && pattern[i + 1] == u'\'') {
                    literal(u"'");
                    ++i;
                } else {
                    break;
                }
            }
            ++i;
        } else if (isPatternLetter(c)) {
            qsizetype run = 1;
            while (i + run < pattern.size() && pattern[i + run] == c)
                ++run;
            if (!isNumericField(c.unicode(), run))
                return {};
            pieces.append(Piece{c.unicode(), QString()});
            i += run;
        } else {
            literal(QStringView(pattern).sliced(i, 1));
            ++i;
        }
    }
    return pieces;
}

QString DateFormatter::string(RefDate date) const
{
    QString text;
    appendTo(text, date);
    return text;
}

void DateFormatter::appendTo(QString &text, RefDate date) const
{
    const qint64 msecs = RefDates::toMSecsSinceEpoch(date);
    if (!m_numeric.isEmpty() && appendNumeric(text, msecs))
        return;
    text += m_locale.toString(QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC).toTimeZone(m_zone), m_pattern);
}

bool DateFormatter::appendNumeric(QString &text, qint64 msecsSinceEpoch) const
{
    const int offset = m_zone.offsetFromUtc(QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch, Qt::UTC));
    const qint64 local = msecsSinceEpoch + qint64(offset) * 1000;
    qint64 days = local / msecsPerDay;
    qint64 msecsOfDay = local % msecsPerDay;
    if (msecsOfDay < 0) {
        --days;
        msecsOfDay += msecsPerDay;
    }
    const QDate day = QDate(1970, 1, 1).addDays(days);
    if (day.year() < 0 || day.year() > 9999)
        return false;
    const int secondsOfDay = int(msecsOfDay / 1000);

    for (const Piece &piece : m_numeric) {
        switch (piece.field) {
        case u'y': appendDigits(text, day.year(), 4); break;
        case u'M': appendDigits(text, day.month(), 2); break;
        case u'd': appendDigits(text, day.day(), 2); break;
        case u'H': appendDigits(text, secondsOfDay / 3600, 2); break;
        case u'm': appendDigits(text, secondsOfDay / 60 % 60, 2); break;
        case u's': appendDigits(text, secondsOfDay % 60, 2); break;
        default: text += piece.literal; break;
        }
    }
    return true;
}

const DateFormatter &DateFmt::stampFormatter()
{
    static const DateFormatter formatter(QStringLiteral("yyyy-MM-dd HH:mm"), QLocale::c(), currentZone());
    return formatter;
}

const DateFormatter &DateFmt::isoFormatter()
{
    static const DateFormatter formatter(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"), QLocale::c(), currentZone());
    return formatter;
}

const DateFormatter &DateFmt::monthYearFormatter()
{
    static const DateFormatter formatter(QStringLiteral("MMM yyyy"), QLocale::system(), currentZone());
    return formatter;
}

const DateFormatter &DateFmt::dayMonthYearFormatter()
{
    static const DateFormatter formatter(QStringLiteral("d MMM yyyy"), QLocale::system(), currentZone());
    return formatter;
}

QString Transcript::build(const QList<ChatMessage> &messages, const QString &partnerName)
{
    static const QString you = QStringLiteral("You");
    const DateFormatter &stamp = DateFmt::stampFormatter();

    // One allocation for the whole text: "[I] " + stamp + " " + sender + ": " + text + "\n".
    qsizetype size = 0;
    for (const ChatMessage &message : messages) {
        if (message.date)
            size += 24 + (message.fromMe ? you.size() : partnerName.size()) + message.text.size();
    }
    QString text;
    text.reserve(size);
    for (const ChatMessage &message : messages) {
        if (!message.date)
            continue;
        text += u"[I] ";
        stamp.appendTo(text, *message.date);
        text += u' ';
        text += message.fromMe ? you : partnerName;
        text += u": ";
        text += message.text;
        text += u'\n';
    }
    return text;
}
