#pragma once

#include "Symbols.h"

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QLinearGradient>
#include <QPainterPath>
#include <QPalette>
#include <QWidget>

#include <optional>

namespace Brand {
const QColor &twilight400();
const QColor &dusk400();
const QColor &surface();
const QColor &surfaceCard();
const QColor &ink100();
const QColor &ink300();
const QColor &alert();

// twilight400 at the box's top-left corner to dusk400 at its bottom-right corner.
QLinearGradient gradient(const QRectF &box);
// Curvature-continuous rounded rectangle; every rounded shape of the app uses it.
QPainterPath continuousRect(const QRectF &rect, qreal radius);
// The application's default family at a size in logical pixels.
QFont font(int pixelSize, QFont::Weight weight = QFont::Normal);
// A palette colour at the given opacity, for muted texts, outlines and dividers.
QColor withOpacity(QColor color, qreal opacity);
// Dark palette for the Fusion style, so text fields and scroll bars match the brand.
QPalette darkPalette();
} // namespace Brand

// Centred lines of text that wrap to the offered width (or to a maximum line width) and
// always take the height of all their lines. Filled with one colour, or with the brand
// gradient spanning the whole block.
class BrandText : public QWidget {
    Q_OBJECT
public:
    BrandText(const QString &text, int pixelSize, QFont::Weight weight = QFont::Normal,
              QWidget *parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString &text);
    void setColor(const QColor &color);  // a solid fill (the default: ink100)
    void setGradient();                  // the brand gradient across the whole block
    void setMaxLineWidth(int width);     // lines wrap at min(this, the widget's width)

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_text;
    std::optional<QColor> m_color;
    int m_maxLineWidth = QWIDGETSIZE_MAX;
};

class GradientText : public BrandText {
    Q_OBJECT
public:
    GradientText(const QString &text, int pixelSize, QFont::Weight weight, QWidget *parent = nullptr);
};

class BrandHeader : public GradientText {
    Q_OBJECT
public:
    explicit BrandHeader(const QString &text, QWidget *parent = nullptr);
};

// Wraps at 360 or the offered width, whichever is smaller, centred in its container.
class BrandSubtitle : public BrandText {
    Q_OBJECT
public:
    explicit BrandSubtitle(const QString &text, QWidget *parent = nullptr);
};

// A muted 13-pixel aside: ink300 at 70 %.
class BrandNote : public BrandText {
    Q_OBJECT
public:
    explicit BrandNote(const QString &text, QWidget *parent = nullptr);
};

// The rounded card behind a text field and what goes with it.
class FieldCard : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *event) override;
};

class QLineEdit;
namespace Brand {
// A frameless 14-pixel field on a transparent ground, one line high, for a FieldCard.
void styleField(QLineEdit *field);
} // namespace Brand

class BrandLogo : public SymbolView {
    Q_OBJECT
public:
    explicit BrandLogo(qreal size, QWidget *parent = nullptr);
};

// A chromeless button as wide as its padded title. Space, Return and Enter activate it like
// a click; a focus ring shows only when focus came from the keyboard.
class BrandButtonBase : public QAbstractButton {
    Q_OBJECT
public:
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    // The text box is pixelSize high (not the font's line height), so padding is exact.
    BrandButtonBase(const QString &title, const QFont &font, int verticalPadding,
                    int horizontalPadding, QWidget *parent);
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    virtual void paintBackground(QPainter &painter, const QRectF &box) const = 0;
    virtual void paintFocusRing(QPainter &painter, const QRectF &box) const;
    virtual QColor titleColor() const = 0;

private:
    int m_verticalPadding;
    int m_horizontalPadding;
    bool m_focusVisible = false;
};

class BrandButton : public BrandButtonBase {
    Q_OBJECT
public:
    explicit BrandButton(const QString &title, QWidget *parent = nullptr);

protected:
    void paintBackground(QPainter &painter, const QRectF &box) const override;
    QColor titleColor() const override;
};

class SecondaryButton : public BrandButtonBase {
    Q_OBJECT
public:
    explicit SecondaryButton(const QString &title, QWidget *parent = nullptr);

protected:
    void paintBackground(QPainter &painter, const QRectF &box) const override;
    QColor titleColor() const override;
};

// A text link: 12 medium twilight400, underlined while it has keyboard focus.
class BrandLink : public BrandButtonBase {
    Q_OBJECT
public:
    explicit BrandLink(const QString &text, QWidget *parent = nullptr);

protected:
    void paintBackground(QPainter &painter, const QRectF &box) const override;
    void paintFocusRing(QPainter &painter, const QRectF &box) const override;
    QColor titleColor() const override;
};
