// libFuzzer target: extractText must never read outside the blob, and whatever it returns
// must be the exact UTF-8 bytes of the blob's text.
#include "AttributedBody.h"

#include <QByteArrayView>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView blob(data, qsizetype(size));
    const std::optional<QString> text = AttributedBody::extractText(blob);
    if (text) {
        const QByteArray utf8 = text->toUtf8();
        if (utf8.isEmpty() || !blob.contains(utf8))
            std::abort();
    }
    return 0;
}
