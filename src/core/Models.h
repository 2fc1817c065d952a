#pragma once

#include <QDateTime>
#include <QHashFunctions>
#include <QList>
#include <QString>

#include <optional>

// Points in time are seconds since 2001-01-01 00:00:00 UTC, as Messages counts them.
using RefDate = double;

namespace RefDates {
// 2001-01-01 00:00:00 UTC in Unix seconds.
inline constexpr qint64 unixOffset = 978307200;

// A corrupted database may hold any 64-bit date. Anything beyond 0001-01-02 .. 9999-12-30 UTC
// is clamped there, so every value converts without overflow and stays a four-digit year in
// every zone.
inline constexpr RefDate earliest = -63'113'817'600;
inline constexpr RefDate latest = 252'423'820'800;

inline qint64 toMSecsSinceEpoch(RefDate seconds)
{
    const RefDate clamped = !(seconds > earliest) ? earliest : seconds < latest ? seconds : latest;
    return qRound64((clamped + double(unixOffset)) * 1000.0);
}

inline QDateTime toDateTime(RefDate seconds)
{
    return QDateTime::fromMSecsSinceEpoch(toMSecsSinceEpoch(seconds), Qt::UTC);
}

inline RefDate fromDateTime(const QDateTime &dt)
{
    return double(dt.toMSecsSinceEpoch()) / 1000.0 - double(unixOffset);
}

// Raw message.date values above 1e12 are nanoseconds (newer databases), the rest seconds.
inline RefDate fromRaw(qint64 raw)
{
    const double value = double(raw);
    return raw > 1'000'000'000'000LL ? value / 1'000'000'000.0 : value;
}
} // namespace RefDates

// One conversation partner: every one-to-one chat with that handle, merged.
struct Conversation {
    QString handle;
    QString displayName;
    QList<qint64> chatRowIds;
    qint64 messageCount = 0;
    std::optional<RefDate> firstMessageDate;
    std::optional<RefDate> lastMessageDate;

    const QString &id() const { return handle; }
    bool operator==(const Conversation &) const = default;
};

size_t qHash(const Conversation &c, size_t seed = 0) noexcept;

struct ChatMessage {
    std::optional<RefDate> date;
    bool fromMe = false;
    QString text;
};
