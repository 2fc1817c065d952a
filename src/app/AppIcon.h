#pragma once

#include <QByteArray>
#include <QImage>

// The application's icon: the logo glyph in the brand gradient on a dark tile with continuous
// corners. One drawing, given as pixels for the window icon and the packaged PNG sizes and as
// SVG for the scalable icon, so they cannot drift apart.
namespace AppIcon {
QImage image(int size);
QByteArray svg();
} // namespace AppIcon
