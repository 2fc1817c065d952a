#pragma once

#include <QImage>
#include <QString>

#include <optional>

// Reads the QR code in an image with zxing-cpp; nothing when none is found.
std::optional<QString> decodeQr(const QImage &image);
