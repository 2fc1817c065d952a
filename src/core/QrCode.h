#pragma once

#include <QByteArray>
#include <QImage>

// The QR library stays behind this class; callers see only Qt types.
namespace QrCode {
// Error correction level M, 8-bit mode, `scale` pixels per module, a quiet zone of
// `margin` modules. A null image when the payload can't be encoded. One module by default:
// the screen's white square around the code gives the rest of the quiet zone.
QImage render(const QByteArray &payload, int scale = 10, int margin = 1);
}
