#include "Brand.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QPainter>

#include <algorithm>
#include <array>

const QColor &Brand::twilight400() { static const QColor c(90, 145, 184); return c; }
const QColor &Brand::dusk400() { static const QColor c(199, 130, 145); return c; }
const QColor &Brand::surface() { static const QColor c(14, 22, 32); return c; }
const QColor &Brand::surfaceCard() { static const QColor c(24, 34, 46); return c; }
const QColor &Brand::ink100() { static const QColor c(239, 242, 245); return c; }
const QColor &Brand::ink300() { static const QColor c(184, 196, 208); return c; }
const QColor &Brand::alert() { static const QColor c(226, 114, 91); return c; }

QLinearGradient Brand::gradient(const QRectF &box)
{
    QLinearGradient g(box.topLeft(), box.bottomRight());
    g.setColorAt(0, twilight400());
    g.setColorAt(1, dusk400());
    return g;
}

QPainterPath Brand::continuousRect(const QRectF &rect, qreal radius)
{
    QPainterPath path;
    if (rect.isEmpty())
        return path;
    // The corner leaves the straight edge 1.5287 radii before the corner so its curvature
    // rises from zero; the radius shrinks where two corners would meet on a short side.
    constexpr qreal reach = 1.52866483;
    const qreal r = std::clamp(radius, 0.0, std::min(rect.width(), rect.height()) / 2 / reach);
    if (r <= 0) {
        path.addRect(rect);
        return path;
    }
    // One corner in units of r, from the point on the incoming edge to the point on the
    // outgoing one: {along the incoming edge from the corner, into the rectangle}.
    struct P { qreal a, b; };
    static constexpr std::array<P, 9> corner{{
        {1.08849323, 0}, {0.86840689, 0}, {0.66993427, 0.065496},
        {0.37282392, 0.16905899}, {0.16905899, 0.37282392}, {0.074911, 0.63149399},
        {0, 0.86840689}, {0, 1.08849323}, {0, reach},
    }};
    // For each corner (clockwise from top-right): the corner point, the incoming edge's
    // direction and the outgoing edge's direction.
    const std::array<std::array<QPointF, 3>, 4> corners{{
        {rect.topRight(), QPointF(1, 0), QPointF(0, 1)},
        {rect.bottomRight(), QPointF(0, 1), QPointF(-1, 0)},
        {rect.bottomLeft(), QPointF(-1, 0), QPointF(0, -1)},
        {rect.topLeft(), QPointF(0, -1), QPointF(1, 0)},
    }};
    path.moveTo(rect.left() + reach * r, rect.top());
    for (const auto &[c, in, out] : corners) {
        // A point {a, b}: a radii back along the incoming edge, b radii along the outgoing.
        const auto at = [&](P p) { return c - in * (p.a * r) + out * (p.b * r); };
        path.lineTo(at({reach, 0}));
        path.cubicTo(at(corner[0]), at(corner[1]), at(corner[2]));
        path.lineTo(at({0.63149399, 0.074911}));
        path.cubicTo(at(corner[3]), at(corner[4]), at(corner[5]));
        path.lineTo(at({0.065496, 0.66993427}));
        path.cubicTo(at(corner[6]), at(corner[7]), at(corner[8]));
    }
    path.closeSubpath();
    return path;
}

QFont Brand::font(int pixelSize, QFont::Weight weight)
{
    QFont f = QGuiApplication::font();
    f.setPixelSize(pixelSize);
    f.setWeight(weight);
    return f;
}

QColor Brand::withOpacity(QColor color, qreal opacity)
{
    color.setAlphaF(opacity);
    return color;
}

QPalette Brand::darkPalette()
{
    QPalette p;
    const auto set = [&p](QPalette::ColorRole role, const QColor &active, const QColor &disabled) {
        p.setColor(QPalette::All, role, active);
        p.setColor(QPalette::Disabled, role, disabled);
    };
    const QColor muted = withOpacity(ink300(), 0.6);
    const QColor dim = withOpacity(ink300(), 0.4);
    set(QPalette::Window, surface(), surface());
    set(QPalette::WindowText, ink100(), muted);
    set(QPalette::Base, surfaceCard(), surface());
    set(QPalette::AlternateBase, surface(), surface());
    set(QPalette::Text, ink100(), muted);
    set(QPalette::PlaceholderText, muted, dim);
    set(QPalette::Button, surfaceCard(), surface());
    set(QPalette::ButtonText, ink100(), muted);
    set(QPalette::BrightText, Qt::white, muted);
    set(QPalette::Highlight, twilight400(), surfaceCard());
    set(QPalette::HighlightedText, Qt::white, muted);
    set(QPalette::Link, twilight400(), muted);
    set(QPalette::LinkVisited, dusk400(), muted);
    set(QPalette::ToolTipBase, surfaceCard(), surfaceCard());
    set(QPalette::ToolTipText, ink100(), muted);
    // Fusion draws bevels and scroll bar grooves from these.
    set(QPalette::Light, surfaceCard().lighter(140), surfaceCard());
    set(QPalette::Midlight, surfaceCard().lighter(120), surfaceCard());
    set(QPalette::Mid, surfaceCard().darker(120), surface());
    set(QPalette::Dark, surface().darker(140), surface());
    set(QPalette::Shadow, Qt::black, Qt::black);
    return p;
}

void FieldCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(Brand::continuousRect(rect(), 10), Brand::surfaceCard());
}

void Brand::styleField(QLineEdit *field)
{
    field->setFrame(false);
    field->setFont(font(14));
    // One line of text and nothing more: the field's own margins would add to the card's
    // padding and to the gap before it (the field keeps 2 around its text).
    field->setTextMargins(-2, -1, 0, -1);
    field->setFixedHeight(QFontMetrics(field->font()).height());
    field->setAttribute(Qt::WA_MacShowFocusRect, false);
    QPalette palette = field->palette();
    palette.setColor(QPalette::Base, Qt::transparent);
    palette.setColor(QPalette::Text, ink100());
    palette.setColor(QPalette::PlaceholderText, withOpacity(ink300(), 0.6));
    field->setPalette(palette);
}
