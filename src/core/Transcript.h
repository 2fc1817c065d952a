#pragma once

#include "Models.h"

#include <QLocale>
#include <QString>
#include <QTimeZone>

// A fixed pattern, locale and time zone, all captured when the formatter is made.
class DateFormatter {
public:
    DateFormatter(QString pattern, QLocale locale, QTimeZone zone);
    QString string(RefDate date) const;
    // The same text, appended: the transcript writes one per message into one long text.
    void appendTo(QString &text, RefDate date) const;

private:
    // A pattern of only numeric fields and literals in the C locale is written directly,
    // without the locale machinery: the transcript formats one stamp per message.
    struct Piece {
        char16_t field;  // 'y', 'M', 'd', 'H', 'm', 's'; 0 for the literal
        QString literal;
    };
    // Empty when the pattern has a field that needs the locale (names, 12-hour clock, zones).
    static QList<Piece> numericPieces(const QString &pattern);
    // False, writing nothing, for a year the four-digit field cannot hold.
    bool appendNumeric(QString &text, qint64 msecsSinceEpoch) const;

    QString m_pattern;
    QLocale m_locale;
    QTimeZone m_zone;
    QList<Piece> m_numeric;  // empty: formatted by the locale
};

// The shared formatters, each made once on first use.
namespace DateFmt {
const DateFormatter &stampFormatter();      // "yyyy-MM-dd HH:mm", POSIX, zone at first use
const DateFormatter &isoFormatter();        // "yyyy-MM-dd'T'HH:mm:ss", POSIX, zone at first use
const DateFormatter &monthYearFormatter();  // "MMM yyyy", the user's locale
const DateFormatter &dayMonthYearFormatter();  // "d MMM yyyy", the user's locale
} // namespace DateFmt

namespace Transcript {
QString build(const QList<ChatMessage> &messages, const QString &partnerName);
}
