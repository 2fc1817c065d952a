#include "Brand.h"
#include "WidgetImage.h"

#include <QAccessible>
#include <QHBoxLayout>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

namespace {

// Only what the widget itself paints, on transparency.
QImage render(QWidget *widget, qreal dpr = 1)
{
    return renderWidget(widget, dpr, QWidget::DrawChildren);
}

// Bounding box, in device pixels, of the pixels at least this opaque.
QRect inked(const QImage &image, int minAlpha = 128)
{
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) >= minAlpha)
                box |= QRect(x, y, 1, 1);
    return box;
}

// The fully opaque pixel that comes first (or last) along a direction.
QColor extreme(const QImage &image, int dx, int dy)
{
    QPoint best;
    int bestScore = INT_MIN;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) == 255 && x * dx + y * dy > bestScore) {
                bestScore = x * dx + y * dy;
                best = {x, y};
            }
    return image.pixelColor(best);
}

bool near(const QColor &a, const QColor &b, int tolerance)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
        && qAbs(a.blue() - b.blue()) <= tolerance;
}

// A widget in a container of a fixed width, as a screen's column would offer it.
QWidget *inColumn(QWidget *child, int width)
{
    auto *container = new QWidget;
    auto *column = new QVBoxLayout(container);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(child);
    container->setFixedWidth(width);
    return container;
}

} // namespace

class TestBrand : public QObject {
    Q_OBJECT

private slots:
    void palette_data();
    void palette();
    void continuousRect_data();
    void continuousRect();
    void header_data();
    void header();
    void subtitle_data();
    void subtitle();
    void logoScales_data();
    void logoScales();
    void buttonMetrics_data();
    void buttonMetrics();
    void activation_data();
    void activation();
    void focusRing_data();
    void focusRing();
    void spinnerRunsOnlyWhileVisible();
};

void TestBrand::palette_data()
{
    QTest::addColumn<QColor>("color");
    QTest::addColumn<QString>("hex");
    QTest::newRow("twilight400") << Brand::twilight400() << "#ff5a91b8";
    QTest::newRow("dusk400") << Brand::dusk400() << "#ffc78291";
    QTest::newRow("surface") << Brand::surface() << "#ff0e1620";
    QTest::newRow("surfaceCard") << Brand::surfaceCard() << "#ff18222e";
    QTest::newRow("ink100") << Brand::ink100() << "#ffeff2f5";
    QTest::newRow("ink300") << Brand::ink300() << "#ffb8c4d0";
    QTest::newRow("alert") << Brand::alert() << "#ffe2725b";
}

void TestBrand::palette()
{
    QFETCH(QColor, color);
    QFETCH(QString, hex);
    QCOMPARE(color.name(QColor::HexArgb), hex);
    QCOMPARE(color.spec(), QColor::Rgb);
}

void TestBrand::continuousRect_data()
{
    QTest::addColumn<QRectF>("rect");
    QTest::addColumn<qreal>("radius");
    QTest::newRow("button") << QRectF(10, 20, 160, 39) << 12.0;
    QTest::newRow("radius larger than the shape") << QRectF(0, 0, 30, 20) << 50.0;
    QTest::newRow("no radius") << QRectF(0, 0, 30, 20) << 0.0;
}

void TestBrand::continuousRect()
{
    QFETCH(QRectF, rect);
    QFETCH(qreal, radius);
    const QPainterPath path = Brand::continuousRect(rect, radius);
    QCOMPARE(path.boundingRect(), rect);
    QVERIFY(path.contains(rect.center()));
    QCOMPARE(path.contains(rect.topLeft() + QPointF(0.5, 0.5)), radius == 0);
    QCOMPARE(path.contains(rect.bottomRight() - QPointF(0.5, 0.5)), radius == 0);
}

void TestBrand::header_data()
{
    QTest::addColumn<qreal>("dpr");
    QTest::newRow("scale 1") << 1.0;
    QTest::newRow("scale 2") << 2.0;
}

void TestBrand::header()
{
    QFETCH(qreal, dpr);
    auto *header = new BrandHeader(QStringLiteral("Scan this code with the Vellora app on your phone"));
    std::unique_ptr<QWidget> column(inColumn(header, 260));
    const QImage image = render(column.get(), dpr);

    // Wrapped onto several lines, all inside the widget and none clipped.
    const int lineHeight = QFontMetrics(header->font()).height();
    QVERIFY(header->height() >= 3 * lineHeight);
    const QRect ink = inked(image);
    QVERIFY2(ink.height() > 2.5 * lineHeight * dpr, qPrintable(QString::number(ink.height())));
    QVERIFY(ink.bottom() < header->height() * dpr);
    QVERIFY(ink.width() <= 260 * dpr);

    // One gradient over the whole block: it starts at the first line's top-left and ends at the
    // last line's bottom-right; the short, centred last line does not start again at twilight.
    const QColor first = extreme(image, -1, -1);
    const QColor last = extreme(image, 1, 1);
    QVERIFY2(near(first, Brand::twilight400(), 12), qPrintable(first.name()));
    QVERIFY2(near(last, Brand::dusk400(), 12), qPrintable(last.name()));
    const QColor lastLineStart = extreme(image, -1, 4);
    QVERIFY2(lastLineStart.red() > Brand::twilight400().red() + 25, qPrintable(lastLineStart.name()));
}

void TestBrand::subtitle_data()
{
    QTest::addColumn<int>("containerWidth");
    QTest::addColumn<qreal>("dpr");
    QTest::addColumn<int>("lineWidth");
    QTest::newRow("wide container") << 600 << 1.0 << 360;
    QTest::newRow("wide container, scale 2") << 600 << 2.0 << 360;
    QTest::newRow("narrow container") << 280 << 1.0 << 280;
}

void TestBrand::subtitle()
{
    QFETCH(int, containerWidth);
    QFETCH(qreal, dpr);
    QFETCH(int, lineWidth);
    auto *subtitle = new BrandSubtitle(QStringLiteral(
        "Open Vellora on your phone, tap Import from Mac and point the camera at this code. "
        "Your conversations stay on this Mac until you pick one."));
    std::unique_ptr<QWidget> column(inColumn(subtitle, containerWidth));
    const QImage image = render(column.get(), dpr);

    const QRect ink = inked(image, 60);
    const qreal left = ink.left() / dpr;
    const qreal right = containerWidth - (ink.right() + 1) / dpr;
    QVERIFY2(ink.width() / dpr <= lineWidth && ink.width() / dpr > lineWidth - 60,
             qPrintable(QString::number(ink.width() / dpr)));
    QVERIFY2(qAbs(left - right) <= 3, qPrintable(QStringLiteral("%1 %2").arg(left).arg(right)));
    QVERIFY(ink.height() / dpr > 2 * QFontMetrics(subtitle->font()).height());
    QVERIFY(ink.bottom() < subtitle->height() * dpr);
}

void TestBrand::logoScales_data()
{
    QTest::addColumn<qreal>("dpr");
    QTest::newRow("scale 1") << 1.0;
    QTest::newRow("scale 2") << 2.0;
}

void TestBrand::logoScales()
{
    QFETCH(qreal, dpr);
    BrandLogo small(38);
    BrandLogo large(76);
    const QRect a = inked(render(&small, dpr));
    const QRect b = inked(render(&large, dpr));
    QVERIFY(a.height() >= 0.8 * 38 * dpr);
    QVERIFY2(qAbs(b.width() - 2 * a.width()) <= 2 && qAbs(b.height() - 2 * a.height()) <= 2,
             qPrintable(QStringLiteral("%1x%2 %3x%4").arg(a.width()).arg(a.height()).arg(b.width()).arg(b.height())));
}

void TestBrand::buttonMetrics_data()
{
    QTest::addColumn<qreal>("dpr");
    QTest::newRow("scale 1") << 1.0;
    QTest::newRow("scale 2") << 2.0;
}

void TestBrand::buttonMetrics()
{
    QFETCH(qreal, dpr);
    const QString title = QStringLiteral("Try again");
    QWidget row;
    auto *layout = new QHBoxLayout(&row);
    auto *primary = new BrandButton(title);
    auto *secondary = new SecondaryButton(title);
    layout->addWidget(primary);
    layout->addWidget(secondary);
    render(&row, dpr);
    QCOMPARE(primary->height(), 39);
    QCOMPARE(secondary->height(), 39);

    // Padding = the shape's width less the title's ink; the shapes are 39 high when painted.
    const QImage filled = render(primary, dpr);
    const QImage outlined = render(secondary, dpr);
    QRect primaryText;
    for (int y = 0; y < filled.height(); ++y)
        for (int x = 0; x < filled.width(); ++x)
            if (qGreen(filled.pixel(x, y)) > 235)  // the white title on the gradient
                primaryText |= QRect(x, y, 1, 1);
    const QRect primaryShape = inked(filled);
    const QRect secondaryShape = inked(outlined, 40);
    const QRect secondaryText = inked(outlined, 160);
    QCOMPARE(primaryShape.height(), qRound(39 * dpr));
    QCOMPARE(secondaryShape.height(), qRound(39 * dpr));
    const int primaryPadding = primaryShape.width() - primaryText.width();
    const int secondaryPadding = secondaryShape.width() - secondaryText.width();
    QVERIFY2(qAbs(primaryPadding - secondaryPadding - 8 * dpr) <= 2 * dpr,
             qPrintable(QStringLiteral("%1 %2").arg(primaryPadding).arg(secondaryPadding)));

    // A screen reader announces the title.
    QCOMPARE(QAccessible::queryAccessibleInterface(primary)->text(QAccessible::Name), title);
    QCOMPARE(QAccessible::queryAccessibleInterface(secondary)->text(QAccessible::Name), title);
}

void TestBrand::activation_data()
{
    QTest::addColumn<bool>("primary");
    QTest::addColumn<QList<int>>("keys");  // 0 is a mouse click
    QTest::addColumn<int>("expected");
    QTest::newRow("click") << true << QList<int>{0} << 1;
    QTest::newRow("two clicks, no debouncing") << true << QList<int>{0, 0} << 2;
    QTest::newRow("space") << true << QList<int>{Qt::Key_Space} << 1;
    QTest::newRow("return") << true << QList<int>{Qt::Key_Return} << 1;
    QTest::newRow("enter") << false << QList<int>{Qt::Key_Enter} << 1;
    QTest::newRow("secondary click") << false << QList<int>{0} << 1;
    QTest::newRow("secondary space") << false << QList<int>{Qt::Key_Space} << 1;
    QTest::newRow("other key") << true << QList<int>{Qt::Key_A} << 0;
}

void TestBrand::activation()
{
    QFETCH(bool, primary);
    QFETCH(QList<int>, keys);
    QFETCH(int, expected);
    std::unique_ptr<QAbstractButton> button;
    if (primary)
        button = std::make_unique<BrandButton>(QStringLiteral("Open System Settings"));
    else
        button = std::make_unique<SecondaryButton>(QStringLiteral("I've done it"));
    button->show();
    QVERIFY(QTest::qWaitForWindowExposed(button.get()));
    QSignalSpy clicked(button.get(), &QAbstractButton::clicked);
    for (int key : keys) {
        if (key == 0)
            QTest::mouseClick(button.get(), Qt::LeftButton);
        else
            QTest::keyClick(button.get(), Qt::Key(key));
    }
    QCOMPARE(clicked.count(), expected);
}

void TestBrand::focusRing_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("ring");
    QTest::newRow("tab") << int(Qt::TabFocusReason) << true;
    QTest::newRow("back tab") << int(Qt::BacktabFocusReason) << true;
    QTest::newRow("mouse") << int(Qt::MouseFocusReason) << false;
}

void TestBrand::focusRing()
{
    QFETCH(int, reason);
    QFETCH(bool, ring);
    QWidget window;
    auto *layout = new QHBoxLayout(&window);
    auto *before = new SecondaryButton(QStringLiteral("Back"));
    auto *button = new SecondaryButton(QStringLiteral("Try again"));
    layout->addWidget(before);
    layout->addWidget(button);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    const QRgb unfocused = render(button).pixel(1, 19);
    button->setFocus(Qt::FocusReason(reason));
    QVERIFY(button->hasFocus());
    const QRgb edge = render(button).pixel(1, 19);
    QCOMPARE(qAlpha(edge) > 2 * qAlpha(unfocused), ring);
}

void TestBrand::spinnerRunsOnlyWhileVisible()
{
    QWidget window;
    auto *spinner = new Spinner(&window);
    QVERIFY(!spinner->isAnimating());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(spinner->isAnimating());
    spinner->hide();
    QVERIFY(!spinner->isAnimating());
    spinner->show();
    QVERIFY(spinner->isAnimating());
    window.hide();
    QVERIFY(!spinner->isAnimating());
}

QTEST_MAIN(TestBrand)
#include "test_brand.moc"
