#include "Brand.h"

#include <QFontMetricsF>
#include <QKeyEvent>
#include <QPainter>

#include <cmath>

namespace {
constexpr qreal cornerRadius = 12;
}

BrandButtonBase::BrandButtonBase(const QString &title, const QFont &font, int verticalPadding,
                                 int horizontalPadding, QWidget *parent)
    : QAbstractButton(parent), m_verticalPadding(verticalPadding), m_horizontalPadding(horizontalPadding)
{
    setText(title);
    setFont(font);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize BrandButtonBase::sizeHint() const
{
    const qreal textWidth = QFontMetricsF(font()).horizontalAdvance(text());
    return {int(std::ceil(textWidth)) + 2 * m_horizontalPadding,
            font().pixelSize() + 2 * m_verticalPadding};
}

void BrandButtonBase::keyPressEvent(QKeyEvent *event)
{
    m_focusVisible = true;
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && event->modifiers() == Qt::NoModifier) {
        // One activation per key stroke, not one per auto-repeat.
        if (!event->isAutoRepeat())
            click();
        event->accept();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

void BrandButtonBase::focusInEvent(QFocusEvent *event)
{
    // A ring after a click would be noise; after Tab it is the only sign of where focus is.
    // Focus given back by window activation or by code keeps what the user last did.
    switch (event->reason()) {
    case Qt::TabFocusReason:
    case Qt::BacktabFocusReason:
    case Qt::ShortcutFocusReason:
        m_focusVisible = true;
        break;
    case Qt::MouseFocusReason:
        m_focusVisible = false;
        break;
    default:
        break;
    }
    QAbstractButton::focusInEvent(event);
}

void BrandButtonBase::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (isDown())
        painter.setOpacity(0.7);
    const QRectF box = rect();
    paintBackground(painter, box);
    painter.setPen(titleColor());
    painter.setFont(font());
    painter.drawText(box, Qt::AlignCenter | Qt::TextSingleLine, text());
    if (hasFocus() && m_focusVisible)
        paintFocusRing(painter, box);
}

void BrandButtonBase::paintFocusRing(QPainter &painter, const QRectF &box) const
{
    painter.setPen(QPen(titleColor(), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(Brand::continuousRect(box.adjusted(1, 1, -1, -1), cornerRadius - 1));
}

BrandButton::BrandButton(const QString &title, QWidget *parent)
    : BrandButtonBase(title, Brand::font(15, QFont::DemiBold), 12, 24, parent)
{
}

void BrandButton::paintBackground(QPainter &painter, const QRectF &box) const
{
    painter.fillPath(Brand::continuousRect(box, cornerRadius), Brand::gradient(box));
}

QColor BrandButton::titleColor() const
{
    return Qt::white;
}

SecondaryButton::SecondaryButton(const QString &title, QWidget *parent)
    : BrandButtonBase(title, Brand::font(15, QFont::Medium), 12, 20, parent)
{
}

void SecondaryButton::paintBackground(QPainter &painter, const QRectF &box) const
{
    painter.setPen(QPen(Brand::withOpacity(Brand::ink300(), 0.3), 1));
    painter.setBrush(Qt::NoBrush);
    // Inset half the stroke so the whole 1 px line lies on the button's pixels.
    painter.drawPath(Brand::continuousRect(box.adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius));
}

QColor SecondaryButton::titleColor() const
{
    return Brand::ink300();
}

BrandLink::BrandLink(const QString &text, QWidget *parent)
    : BrandButtonBase(text, Brand::font(12, QFont::Medium), 1, 0, parent)
{
    setCursor(Qt::PointingHandCursor);
}

void BrandLink::paintBackground(QPainter &, const QRectF &) const {}

void BrandLink::paintFocusRing(QPainter &painter, const QRectF &box) const
{
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.fillRect(QRectF(box.left(), box.bottom() - 1, box.width(), 1), titleColor());
}

QColor BrandLink::titleColor() const
{
    return Brand::twilight400();
}
