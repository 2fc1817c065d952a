#pragma once

#include <ctime>
#include <string>

// The current time as "2026-01-31T12:00:00Z", for logs and session records.
inline std::string utcStamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}
