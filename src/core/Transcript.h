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

private:
    QString m_pattern;
    QLocale m_locale;
    QTimeZone m_zone;
};

// The shared formatters, each made once on first use.
namespace DateFmt {
const DateFormatter &stampFormatter();      // "yyyy-MM-dd HH:mm", POSIX, zone at first use
const DateFormatter &isoFormatter();        // "yyyy-MM-dd'T'HH:mm:ss", POSIX, zone at first use
const DateFormatter &monthYearFormatter();  // "MMM yyyy", the user's locale
} // namespace DateFmt

namespace Transcript {
QString build(const QList<ChatMessage> &messages, const QString &partnerName);
}
