#include "AppIcon.h"

#include "Brand.h"
#include "Symbols.h"

#include <QPainter>
#include <QPainterPath>

namespace {

// Drawn on a 512 unit canvas; the tile's corner and the glyph's share of it follow the usual
// desktop icon grids, where a tile fills about 88 % and its glyph about half of the canvas.
constexpr qreal canvas = 512;
constexpr qreal tileInset = 32;
constexpr qreal tileRadius = 100;
constexpr qreal glyphSize = 264;

QPainterPath tile()
{
    return Brand::continuousRect(QRectF(tileInset, tileInset, canvas - 2 * tileInset, canvas - 2 * tileInset),
                                 tileRadius);
}

QPainterPath glyph()
{
    QPainterPath path = Symbols::path(Symbol::logo, glyphSize);
    const QRectF box = path.boundingRect();
    path.translate(canvas / 2 - box.center().x(), canvas / 2 - box.center().y());
    return path;
}

QByteArray svgPathData(const QPainterPath &path)
{
    QByteArray data;
    const auto number = [](qreal v) { return QByteArray::number(v, 'f', 2); };
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        if (e.isMoveTo()) {
            data += 'M' + number(e.x) + ' ' + number(e.y);
        } else if (e.isLineTo()) {
            data += 'L' + number(e.x) + ' ' + number(e.y);
        } else if (e.isCurveTo()) {
            const QPainterPath::Element c2 = path.elementAt(i + 1);
            const QPainterPath::Element end = path.elementAt(i + 2);
            data += 'C' + number(e.x) + ' ' + number(e.y) + ' ' + number(c2.x) + ' ' + number(c2.y) + ' ' +
                    number(end.x) + ' ' + number(end.y);
            i += 2;
        }
    }
    return data;
}

QByteArray colour(const QColor &c)
{
    return c.name(QColor::HexRgb).toLatin1();
}

} // namespace

QImage AppIcon::image(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / canvas, size / canvas);
    painter.fillPath(tile(), Brand::surface());
    const QPainterPath logo = glyph();
    painter.fillPath(logo, Brand::gradient(logo.boundingRect()));
    return image;
}

QByteArray AppIcon::svg()
{
    const QPainterPath logo = glyph();
    const QRectF box = logo.boundingRect();
    const auto number = [](qreal v) { return QByteArray::number(v, 'f', 2); };
    QByteArray svg;
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"512\" height=\"512\" viewBox=\"0 0 512 512\">\n";
    svg += "  <defs><linearGradient id=\"brand\" gradientUnits=\"userSpaceOnUse\" x1=\"" + number(box.left()) +
           "\" y1=\"" + number(box.top()) + "\" x2=\"" + number(box.right()) + "\" y2=\"" + number(box.bottom()) +
           "\"><stop offset=\"0\" stop-color=\"" + colour(Brand::twilight400()) + "\"/><stop offset=\"1\" stop-color=\"" +
           colour(Brand::dusk400()) + "\"/></linearGradient></defs>\n";
    svg += "  <path fill=\"" + colour(Brand::surface()) + "\" d=\"" + svgPathData(tile()) + "\"/>\n";
    svg += "  <path fill=\"url(#brand)\" fill-rule=\"" +
           QByteArray(logo.fillRule() == Qt::WindingFill ? "nonzero" : "evenodd") + "\" d=\"" + svgPathData(logo) +
           "\"/>\n";
    svg += "</svg>\n";
    return svg;
}
