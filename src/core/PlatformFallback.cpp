// Stand-ins for the macOS services on systems without them (left out of Apple builds).
#include "BundleInfo.h"
#include "ContactResolver.h"
#include "VCard.h"

#include <cstring>

QVariant bundleInfoValue(const char *key)
{
    if (std::strcmp(key, "CFBundleShortVersionString") == 0)
        return QStringLiteral(VELLORA_VERSION);
    if (std::strcmp(key, "CFBundleVersion") == 0)
        return QStringLiteral(VELLORA_BUILD_NUMBER);
    if (std::strcmp(key, "VelloraBackendBase") == 0)
        return QStringLiteral(VELLORA_BACKEND_BASE);
    return {};
}

std::unique_ptr<ContactSource> makePlatformContactSource()
{
    return std::make_unique<VCardFolderSource>(VCard::standardFolder());
}
