#include "Symbols.h"

#include "Brand.h"

#include <QPainter>
#include <QPainterPathStroker>

#include <cmath>

namespace {

// Outlines are drawn on a unit em (1 = the font size) and scaled, so they scale like text.
QPainterPath stroke(const QPainterPath &centreLine, qreal width, Qt::PenCapStyle cap = Qt::RoundCap)
{
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(cap);
    stroker.setJoinStyle(Qt::RoundJoin);
    return stroker.createStroke(centreLine).simplified();
}

QPainterPath circle(QPointF centre, qreal radius)
{
    QPainterPath p;
    p.addEllipse(centre, radius, radius);
    return p;
}

QPainterPath polyline(std::initializer_list<QPointF> points)
{
    QPainterPath p;
    auto it = points.begin();
    p.moveTo(*it);
    for (++it; it != points.end(); ++it)
        p.lineTo(*it);
    return p;
}

// A speech bubble: a wide oval with a curled tail, on the left or right side.
QPainterPath bubble(const QRectF &body, bool tailLeft)
{
    QPainterPath p;
    p.addEllipse(body);
    const qreal side = tailLeft ? body.left() + body.width() * 0.2 : body.right() - body.width() * 0.2;
    const qreal dir = tailLeft ? -1 : 1;
    const qreal bottom = body.bottom();
    QPainterPath tail;
    tail.moveTo(side - dir * 0.06, bottom - 0.22);
    tail.quadTo(side + dir * 0.02, bottom - 0.02, side + dir * -0.10 + dir * 0.14 - dir * 0.14 - dir * 0.02, bottom + 0.08);
    tail.quadTo(side + dir * 0.16, bottom + 0.06, side + dir * 0.24, bottom - 0.08);
    tail.closeSubpath();
    return p.united(tail);
}

QPainterPath unitPath(Symbol symbol)
{
    switch (symbol) {
    case Symbol::logo: {
        const QPainterPath back = bubble(QRectF(0.36, 0.06, 0.86, 0.62), false);
        const QPainterPath front = bubble(QRectF(0.02, 0.30, 0.86, 0.62), true);
        // The front bubble stands apart from the one behind by a thin gap, as in the glyph.
        const QPainterPath gap = front.united(stroke(front, 0.12));
        return back.subtracted(gap).united(front).simplified();
    }
    case Symbol::checkmarkCircleFill:
        return circle({0.5, 0.5}, 0.5).subtracted(
            stroke(polyline({{0.29, 0.52}, {0.44, 0.67}, {0.72, 0.35}}), 0.1));
    case Symbol::exclamationTriangleFill: {
        const QPainterPath corners = polyline({{0.55, 0.1}, {1.02, 0.86}, {0.08, 0.86}});
        QPainterPath triangle = corners;
        triangle.closeSubpath();
        const QPainterPath body = triangle.united(stroke(triangle, 0.16));
        const QPainterPath bar = stroke(polyline({{0.55, 0.36}, {0.55, 0.6}}), 0.1);
        return body.subtracted(bar).subtracted(circle({0.55, 0.74}, 0.06));
    }
    case Symbol::arrowDownCircleFill:
        return circle({0.5, 0.5}, 0.5).subtracted(
            stroke(polyline({{0.5, 0.25}, {0.5, 0.73}}), 0.1)
                .united(stroke(polyline({{0.31, 0.55}, {0.5, 0.74}, {0.69, 0.55}}), 0.1)));
    case Symbol::magnifyingGlass:
        return stroke(circle({0.41, 0.41}, 0.31), 0.1).united(
            stroke(polyline({{0.64, 0.64}, {0.9, 0.9}}), 0.12));
    case Symbol::chevronRight:
        return stroke(polyline({{0.1, 0.1}, {0.42, 0.45}, {0.1, 0.8}}), 0.12);
    }
    return {};
}

} // namespace

QPainterPath Symbols::path(Symbol symbol, qreal size)
{
    QTransform scale;
    scale.scale(size, size);
    return scale.map(unitPath(symbol));
}

QRectF Symbols::bounds(Symbol symbol, qreal size)
{
    return path(symbol, size).boundingRect();
}

SymbolView::SymbolView(Symbol symbol, qreal size, QWidget *parent)
    : QWidget(parent), m_symbol(symbol), m_size(size)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void SymbolView::setColor(const QColor &color)
{
    m_color = color;
    update();
}

QSize SymbolView::sizeHint() const
{
    const QRectF box = Symbols::bounds(m_symbol, m_size);
    return {int(std::ceil(box.width())), int(std::ceil(box.height()))};
}

void SymbolView::paintEvent(QPaintEvent *)
{
    QPainterPath glyph = Symbols::path(m_symbol, m_size);
    const QRectF box = glyph.boundingRect();
    // Centred in whatever the layout gave, the glyph's box at the origin of that space.
    glyph.translate(QPointF((width() - box.width()) / 2, (height() - box.height()) / 2) - box.topLeft());
    const QRectF placed = glyph.boundingRect();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (m_color)
        painter.fillPath(glyph, *m_color);
    else
        painter.fillPath(glyph, Brand::gradient(placed));
}

BrandLogo::BrandLogo(qreal size, QWidget *parent) : SymbolView(Symbol::logo, size, parent) {}

Spinner::Spinner(QWidget *parent) : QWidget(parent), m_color(Brand::ink300())
{
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_phase = (m_phase + 1) % 12;
        update();
    });
}

void Spinner::setColor(const QColor &color)
{
    m_color = color;
    update();
}

QSize Spinner::sizeHint() const
{
    return {24, 24};
}

void Spinner::paintEvent(QPaintEvent *)
{
    // Twelve spokes fading behind the leading one, rotating one spoke per tick.
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(width(), height());
    painter.translate(width() / 2.0, height() / 2.0);
    painter.scale(side / 24, side / 24);
    for (int i = 0; i < 12; ++i) {
        QColor spoke = m_color;
        spoke.setAlphaF(0.15 + 0.85 * ((i - m_phase + 12) % 12) / 11.0);
        painter.setPen(QPen(spoke, 2.2, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0, -6), QPointF(0, -10.5));
        painter.rotate(30);
    }
}

void Spinner::showEvent(QShowEvent *event)
{
    m_timer.start();
    QWidget::showEvent(event);
}

void Spinner::hideEvent(QHideEvent *event)
{
    m_timer.stop();
    QWidget::hideEvent(event);
}
