#pragma once

#include <QColor>
#include <QPainterPath>
#include <QTimer>
#include <QWidget>

#include <optional>

enum class Symbol { logo, checkmarkCircleFill, exclamationTriangleFill, arrowDownCircleFill, magnifyingGlass, chevronRight, lockFill };

namespace Symbols {
// The glyph's outline for a symbol drawn at a font size of `size` logical pixels.
QPainterPath path(Symbol symbol, qreal size);
// The outline's box at that size; it starts at the origin.
QRectF bounds(Symbol symbol, qreal size);
} // namespace Symbols

// One symbol, filled with the brand gradient across its box or with a solid colour.
class SymbolView : public QWidget {
    Q_OBJECT
public:
    SymbolView(Symbol symbol, qreal size, QWidget *parent = nullptr);

    void setColor(const QColor &color);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Symbol m_symbol;
    qreal m_size;
    std::optional<QColor> m_color;
};

// Circular indeterminate progress indicator; its timer runs only while it is visible.
class Spinner : public QWidget {
    Q_OBJECT
public:
    explicit Spinner(QWidget *parent = nullptr);

    bool isAnimating() const { return m_timer.isActive(); }
    // Back to the first frame; each showing starts there, and pictures of a screen use it so
    // they do not depend on how long the screen had been shown.
    void restart();
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QTimer m_timer;
    int m_phase = 0;
};
