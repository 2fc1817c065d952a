#include "Brand.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QRegularExpression>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace {

// Lays the whole text out once, lines centred within lineWidth; returns the block's height.
qreal layOut(QTextLayout &layout, qreal lineWidth)
{
    QTextOption option(Qt::AlignLeft);  // centred by the positions below
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal y = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(lineWidth);
        line.setPosition(QPointF((lineWidth - line.naturalTextWidth()) / 2, y));
        y += line.height();
    }
    layout.endLayout();
    return y;
}

QString displayText(const QString &text)
{
    QString shown = text;
    shown.replace(QLatin1Char('\n'), QChar::LineSeparator);
    return shown;
}

} // namespace

BrandText::BrandText(const QString &text, int pixelSize, QFont::Weight weight, QWidget *parent)
    : QWidget(parent), m_text(text), m_color(Brand::ink100())
{
    setAccessibleName(text);  // screen readers read it as a label
    setFont(Brand::font(pixelSize, weight));
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void BrandText::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    setAccessibleName(text);
    updateGeometry();
    update();
}

void BrandText::setColor(const QColor &color)
{
    m_color = color;
    update();
}

void BrandText::setGradient()
{
    m_color.reset();
    update();
}

void BrandText::setMaxLineWidth(int width)
{
    m_maxLineWidth = width;
    updateGeometry();
    update();
}

int BrandText::heightForWidth(int width) const
{
    QTextLayout layout(displayText(m_text), font());
    return int(std::ceil(layOut(layout, std::min(width, m_maxLineWidth))));
}

QSize BrandText::sizeHint() const
{
    // Measured by the same layout that paints, so the hinted width never wraps a line.
    QTextLayout layout(displayText(m_text), font());
    layOut(layout, QWIDGETSIZE_MAX);
    qreal natural = 0;
    for (int i = 0; i < layout.lineCount(); ++i)
        natural = std::max(natural, layout.lineAt(i).naturalTextWidth());
    const int width = std::min(int(std::ceil(natural)), m_maxLineWidth);
    return {width, heightForWidth(width)};
}

QSize BrandText::minimumSizeHint() const
{
    // Narrower than its widest word, a text would break inside words.
    const QFontMetricsF metrics(font());
    qreal widest = 0;
    for (const QString &word : m_text.split(QRegularExpression(QStringLiteral("\\s+"))))
        widest = std::max(widest, metrics.horizontalAdvance(word));
    const int width = std::min(int(std::ceil(widest)), m_maxLineWidth);
    return {width, heightForWidth(width)};
}

void BrandText::paintEvent(QPaintEvent *)
{
    const qreal lineWidth = std::min(width(), m_maxLineWidth);
    QTextLayout layout(displayText(m_text), font());
    const qreal height = layOut(layout, lineWidth);
    const QPointF origin((width() - lineWidth) / 2, 0);

    QPainter painter(this);
    if (m_color) {
        painter.setPen(*m_color);
    } else {
        // One gradient over the block of all lines, so the colour runs once across it.
        qreal left = lineWidth;
        qreal right = 0;
        for (int i = 0; i < layout.lineCount(); ++i) {
            const QTextLine line = layout.lineAt(i);
            left = std::min(left, line.x());
            right = std::max(right, line.x() + line.naturalTextWidth());
        }
        const QRectF box = QRectF(left, 0, right - left, height).translated(origin);
        painter.setPen(QPen(QBrush(Brand::gradient(box)), 1));
    }
    layout.draw(&painter, origin);
}

GradientText::GradientText(const QString &text, int pixelSize, QFont::Weight weight, QWidget *parent)
    : BrandText(text, pixelSize, weight, parent)
{
    setGradient();
}

BrandHeader::BrandHeader(const QString &text, QWidget *parent)
    : GradientText(text, 30, QFont::Bold, parent)
{
}

BrandSubtitle::BrandSubtitle(const QString &text, QWidget *parent)
    : BrandText(text, 14, QFont::Normal, parent)
{
    setColor(Brand::ink300());
    setMaxLineWidth(360);
}

BrandNote::BrandNote(const QString &text, QWidget *parent) : BrandText(text, 13, QFont::Normal, parent)
{
    setColor(Brand::withOpacity(Brand::ink300(), 0.7));
}
