#pragma once

#include <QString>
#include <QVariant>

namespace AppInfo {
const QString &version();  // falls back to "0.1.0"
const QString &build();    // falls back to "dev"

// The value when it is a non-empty string, else the fallback.
QString valueOr(const QVariant &value, const QString &fallback);
} // namespace AppInfo
