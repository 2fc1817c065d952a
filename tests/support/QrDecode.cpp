#define ZX_USE_UTF8
#include "QrDecode.h"

#include <ZXing/ReadBarcode.h>

std::optional<QString> decodeQr(const QImage &image)
{
    const QImage gray = image.convertToFormat(QImage::Format_Grayscale8);
    const ZXing::ImageView view(gray.constBits(), gray.width(), gray.height(), ZXing::ImageFormat::Lum,
                                int(gray.bytesPerLine()));
    const ZXing::Result result =
        ZXing::ReadBarcode(view, ZXing::DecodeHints().setFormats(ZXing::BarcodeFormat::QRCode));
    if (!result.isValid())
        return std::nullopt;
    return QString::fromStdString(result.text());
}
