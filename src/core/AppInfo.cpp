#include "AppInfo.h"

#include "BundleInfo.h"

const QString &AppInfo::version()
{
    static const QString value =
        valueOr(bundleInfoValue("CFBundleShortVersionString"), QStringLiteral("0.1.0"));
    return value;
}

const QString &AppInfo::build()
{
    static const QString value = valueOr(bundleInfoValue("CFBundleVersion"), QStringLiteral("dev"));
    return value;
}

QString AppInfo::valueOr(const QVariant &value, const QString &fallback)
{
    // A number or a date is not a version text, even though QVariant would convert it.
    if (value.typeId() != QMetaType::QString)
        return fallback;
    const QString text = value.toString();
    return text.isEmpty() ? fallback : text;
}
