#include "AttributedBody.h"

#include <QStringDecoder>

namespace AttributedBody {
namespace {

quint8 byteAt(QByteArrayView bytes, qsizetype i)
{
    return quint8(bytes[i]);
}

} // namespace

std::optional<QString> extractText(QByteArrayView blob)
{
    const qsizetype n = blob.size();
    // Only the first class name and the first "+" after it count; no backtracking.
    constexpr QByteArrayView marker("NSString");
    const qsizetype m = blob.indexOf(marker);
    if (m < 0)
        return std::nullopt;

    const qsizetype p = blob.indexOf('+', m + marker.size());
    if (p < 0)
        return std::nullopt;

    const qsizetype t = p + 1;
    if (t >= n)
        return std::nullopt;

    // typedstream integers: one byte below 0x80, else 0x81 + int16 or 0x82 + int32 (LE).
    quint64 length = 0;
    qsizetype start = 0;
    const quint8 tag = byteAt(blob, t);
    if (tag == 0x82) {
        if (t + 4 >= n)
            return std::nullopt;
        length = quint64(byteAt(blob, t + 1)) | quint64(byteAt(blob, t + 2)) << 8
            | quint64(byteAt(blob, t + 3)) << 16 | quint64(byteAt(blob, t + 4)) << 24;
        start = t + 5;
    } else if (tag == 0x81) {
        if (t + 2 >= n)
            return std::nullopt;
        length = quint64(byteAt(blob, t + 1)) | quint64(byteAt(blob, t + 2)) << 8;
        start = t + 3;
    } else if (tag < 0x80) {
        length = tag;
        start = t + 1;
    } else {
        return std::nullopt;
    }

    if (length == 0 || quint64(start) + length > quint64(n))
        return std::nullopt;

    // Stateless: text cut inside a character is an error, not a pending state. A leading
    // byte-order mark is part of the text and is kept.
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder(blob.sliced(start, qsizetype(length)));
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace AttributedBody
