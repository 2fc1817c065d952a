// Stand-ins for the macOS services on systems without them (left out of Apple builds).
#include "BundleInfo.h"
#include "ContactResolver.h"
#include "VCard.h"

QVariant bundleInfoValue(const char *key)
{
    return buildTimeInfoValue(key);
}

std::unique_ptr<ContactSource> makePlatformContactSource()
{
    return std::make_unique<VCardFolderSource>(VCard::standardFolder());
}
