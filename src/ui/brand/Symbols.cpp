#include "Symbols.h"

#include "Brand.h"

#include <QPainter>
#include <QPainterPathStroker>

#include <array>
#include <cmath>

namespace {

// Outlines are designed on an em of 1000 units (1000 = the font size) and scaled down, so
// they scale like text; the boolean operations flatten curves finely at that size.
constexpr qreal em = 1000;

QPainterPath stroke(const QPainterPath &centreLine, qreal width)
{
    QPainterPathStroker stroker;
    stroker.setWidth(width * em);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    return stroker.createStroke(centreLine).simplified();
}

QPainterPath circle(qreal x, qreal y, qreal radius)
{
    QPainterPath p;
    p.addEllipse(QPointF(x, y) * em, radius * em, radius * em);
    return p;
}

QPainterPath polyline(std::initializer_list<QPointF> points)
{
    QPainterPath p;
    auto it = points.begin();
    p.moveTo(*it * em);
    for (++it; it != points.end(); ++it)
        p.lineTo(*it * em);
    return p;
}

// A speech bubble: an oval body with a small tail curling out at its lower left or right.
QPainterPath bubble(const QRectF &body, bool tailLeft)
{
    // Tail points in units of the body, mirrored for a tail on the right.
    const auto at = [&](qreal x, qreal y) {
        return QPointF(body.left() + (tailLeft ? x : 1 - x) * body.width(), body.top() + y * body.height()) * em;
    };
    QPainterPath p;
    p.addEllipse(QRectF(body.topLeft() * em, body.size() * em));
    QPainterPath tail;
    tail.moveTo(at(0.42, 0.85));
    tail.quadTo(at(0.2, 1.0), at(0.0, 1.06));
    tail.quadTo(at(0.11, 0.9), at(0.08, 0.62));
    tail.closeSubpath();
    return p.united(tail);
}

QPainterPath design(Symbol symbol)
{
    switch (symbol) {
    case Symbol::logo: {
        const QPainterPath back = bubble(QRectF(0.38, 0.02, 0.84, 0.6), false);
        const QPainterPath front = bubble(QRectF(0.0, 0.3, 0.84, 0.6), true);
        // The front bubble stands apart from the one behind by a thin gap.
        return back.subtracted(front.united(stroke(front, 0.11))).united(front).simplified();
    }
    case Symbol::checkmarkCircleFill:
        return circle(0.5, 0.5, 0.5).subtracted(stroke(polyline({{0.29, 0.52}, {0.44, 0.67}, {0.71, 0.36}}), 0.1));
    case Symbol::exclamationTriangleFill: {
        // A triangle with rounded corners: a smaller one widened by a round-joined stroke.
        QPainterPath triangle = polyline({{0.55, 0.1}, {1.02, 0.88}, {0.08, 0.88}});
        triangle.closeSubpath();
        const QPainterPath body = triangle.united(stroke(triangle, 0.16));
        return body.subtracted(stroke(polyline({{0.55, 0.38}, {0.55, 0.6}}), 0.1))
            .subtracted(circle(0.55, 0.75, 0.06));
    }
    case Symbol::arrowDownCircleFill:
        return circle(0.5, 0.5, 0.5).subtracted(stroke(polyline({{0.5, 0.26}, {0.5, 0.73}}), 0.1).united(
            stroke(polyline({{0.31, 0.55}, {0.5, 0.74}, {0.69, 0.55}}), 0.1)));
    case Symbol::magnifyingGlass:
        return stroke(circle(0.41, 0.41, 0.31), 0.1).united(stroke(polyline({{0.64, 0.64}, {0.9, 0.9}}), 0.12));
    case Symbol::chevronRight:
        return stroke(polyline({{0.1, 0.1}, {0.42, 0.45}, {0.1, 0.8}}), 0.12);
    case Symbol::lockFill: {
        // A rounded body under an arched shackle.
        QPainterPath body;
        body.addRoundedRect(QRectF(QPointF(0.12, 0.42) * em, QSizeF(0.76, 0.56) * em), 0.1 * em, 0.1 * em);
        QPainterPath shackle;
        shackle.moveTo(QPointF(0.28, 0.46) * em);
        shackle.lineTo(QPointF(0.28, 0.3) * em);
        shackle.arcTo(QRectF(QPointF(0.28, 0.06) * em, QSizeF(0.44, 0.44) * em), 180, -180);
        shackle.lineTo(QPointF(0.72, 0.46) * em);
        return body.united(stroke(shackle, 0.1));
    }
    }
    return {};
}

// The designed outline moved so that its box starts at the origin.
QPainterPath placed(Symbol symbol)
{
    QPainterPath path = design(symbol);
    path.translate(-path.boundingRect().topLeft());
    return path;
}

const QPainterPath &designed(Symbol symbol)
{
    static const std::array<QPainterPath, 7> paths{
        placed(Symbol::logo), placed(Symbol::checkmarkCircleFill), placed(Symbol::exclamationTriangleFill),
        placed(Symbol::arrowDownCircleFill), placed(Symbol::magnifyingGlass), placed(Symbol::chevronRight),
        placed(Symbol::lockFill)};
    return paths[std::size_t(symbol)];
}

} // namespace

QPainterPath Symbols::path(Symbol symbol, qreal size)
{
    return QTransform::fromScale(size / em, size / em).map(designed(symbol));
}

QRectF Symbols::bounds(Symbol symbol, qreal size)
{
    const QRectF box = designed(symbol).boundingRect();
    return {QPointF(0, 0), box.size() * (size / em)};
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
    // Centred in whatever the layout gave; the gradient spans the glyph's own box.
    const QRectF box = Symbols::bounds(m_symbol, m_size);
    const QPointF offset((width() - box.width()) / 2, (height() - box.height()) / 2);
    glyph.translate(offset);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (m_color)
        painter.fillPath(glyph, *m_color);
    else
        painter.fillPath(glyph, Brand::gradient(box.translated(offset)));
}

BrandLogo::BrandLogo(qreal size, QWidget *parent) : SymbolView(Symbol::logo, size, parent) {}

Spinner::Spinner(QWidget *parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_phase = (m_phase + 1) % 12;
        update();
    });
}

QSize Spinner::sizeHint() const
{
    return {32, 32};  // the platform's regular spinner
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
        QColor spoke = Brand::ink300();
        spoke.setAlphaF(0.15 + 0.85 * ((i - m_phase + 12) % 12) / 11.0);
        painter.setPen(QPen(spoke, 2.2, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0, -6), QPointF(0, -10.5));
        painter.rotate(30);
    }
}

void Spinner::restart()
{
    m_phase = 0;
    update();
    if (isVisible())
        m_timer.start();
}

void Spinner::showEvent(QShowEvent *event)
{
    restart();
    QWidget::showEvent(event);
}

void Spinner::hideEvent(QHideEvent *event)
{
    m_timer.stop();
    QWidget::hideEvent(event);
}
