#include "BundleInfo.h"

#include <cstring>

QVariant buildTimeInfoValue(const char *key)
{
    if (std::strcmp(key, "CFBundleShortVersionString") == 0)
        return QStringLiteral(VELLORA_VERSION);
    if (std::strcmp(key, "CFBundleVersion") == 0)
        return QStringLiteral(VELLORA_BUILD_NUMBER);
    if (std::strcmp(key, "VelloraBackendBase") == 0)
        return QStringLiteral(VELLORA_BACKEND_BASE);
    return {};
}
