#include "QrCode.h"

#include <qrencode.h>

#include <memory>

namespace QrCode {

QImage render(const QByteArray &payload, int scale, int margin)
{
    if (payload.isEmpty() || scale < 1 || margin < 0)
        return {};
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeData(int(payload.size()), reinterpret_cast<const unsigned char *>(payload.constData()),
                          0, QR_ECLEVEL_M),
        &QRcode_free);
    if (!code)
        return {};

    const int modules = code->width;
    const int side = (modules + 2 * margin) * scale;
    QImage image(side, side, QImage::Format_Grayscale8);
    image.fill(255);
    for (int y = 0; y < modules; ++y) {
        for (int x = 0; x < modules; ++x) {
            // Bit 0 of each module byte says dark.
            if (!(code->data[y * modules + x] & 1))
                continue;
            for (int dy = 0; dy < scale; ++dy) {
                uchar *line = image.scanLine((y + margin) * scale + dy);
                std::fill_n(line + (x + margin) * scale, scale, uchar(0));
            }
        }
    }
    return image;
}

} // namespace QrCode
