#include "Brand.h"
#include "WidgetImage.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <functional>

namespace {

// Only what the widget itself paints, on transparency.
QImage render(QWidget *widget, qreal dpr = 1)
{
    return renderWidget(widget, dpr, QWidget::DrawChildren);
}

// Bounding box, in device pixels, of the pixels that pass.
QRect inked(const QImage &image, const std::function<bool(QRgb)> &pass = [](QRgb p) { return qAlpha(p) >= 128; })
{
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (pass(image.pixel(x, y)))
                box |= QRect(x, y, 1, 1);
    return box;
}

// The colour of the fully opaque pixel that comes last along a direction.
QColor extreme(const QImage &image, int dx, int dy)
{
    QPoint best(-1, -1);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) == 255 && (best.x() < 0 || x * dx + y * dy > best.x() * dx + best.y() * dy))
                best = {x, y};
    return image.pixelColor(best);
}

// A widget in a column of a fixed width, as a screen offers it.
std::unique_ptr<QWidget> inColumn(QWidget *child, int width)
{
    auto container = std::make_unique<QWidget>();
    auto *column = new QVBoxLayout(container.get());
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(child);
    container->setFixedWidth(width);
    return container;
}

void scales()
{
    QTest::addColumn<qreal>("dpr");
    QTest::newRow("scale 1") << 1.0;
    QTest::newRow("scale 2") << 2.0;
}

} // namespace

class TestBrand : public QObject {
    Q_OBJECT

private slots:
    void header_data() { scales(); }
    void header();
    void subtitleNarrowContainer_data() { scales(); }
    void subtitleNarrowContainer();
    void activation_data();
    void activation();
    void focusRingOnlyFromKeyboard_data();
    void focusRingOnlyFromKeyboard();
    void spinnerRunsOnlyWhileVisible();
};

void TestBrand::header()
{
    QFETCH(qreal, dpr);
    auto *header = new BrandHeader(QStringLiteral("Scan this code with the Vellora app on your phone"));
    const auto column = inColumn(header, 260);
    const QImage image = render(column.get(), dpr);

    // Wrapped onto several lines, all inside the widget.
    const int lineHeight = QFontMetrics(header->font()).height();
    const QRect ink = inked(image);
    QVERIFY2(ink.height() > 2.5 * lineHeight * dpr, qPrintable(QString::number(ink.height())));
    QVERIFY(ink.bottom() < header->height() * dpr && ink.width() <= 260 * dpr);

    // One gradient over the whole block: the shorter, centred last line does not start over at twilight400.
    QVERIFY(extreme(image, -1, 4).red() > 90 + 25);  // twilight400's red is 90
}

// Narrower than 360, a subtitle wraps at its container's width, centred (wider: the reference pictures).
void TestBrand::subtitleNarrowContainer()
{
    QFETCH(qreal, dpr);
    auto *subtitle = new BrandSubtitle(QStringLiteral(
        "Open Vellora on your phone, tap Import from Mac and point the camera at this code. "
        "Your conversations stay on this Mac until you pick one."));
    const auto column = inColumn(subtitle, 280);
    const QRect ink = inked(render(column.get(), dpr), [](QRgb p) { return qAlpha(p) >= 60; });

    const qreal left = ink.left() / dpr;
    const qreal right = 280 - (ink.right() + 1) / dpr;
    QVERIFY2(ink.width() / dpr <= 280 && ink.width() / dpr > 220, qPrintable(QString::number(ink.width())));
    QVERIFY2(qAbs(left - right) <= 3, qPrintable(QStringLiteral("%1 %2").arg(left).arg(right)));
    QVERIFY(ink.bottom() < subtitle->height() * dpr);
}

// Clicks and Space are QAbstractButton's own; Return and Enter are ours, once per stroke.
void TestBrand::activation_data()
{
    QTest::addColumn<bool>("primary");
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("autoRepeat");
    QTest::addColumn<int>("expected");
    QTest::newRow("return") << true << int(Qt::Key_Return) << false << 1;
    QTest::newRow("enter, secondary") << false << int(Qt::Key_Enter) << false << 1;
    QTest::newRow("return held down") << true << int(Qt::Key_Return) << true << 0;
    QTest::newRow("other key") << true << int(Qt::Key_A) << false << 0;
}

void TestBrand::activation()
{
    QFETCH(bool, primary);
    QFETCH(int, key);
    QFETCH(bool, autoRepeat);
    QFETCH(int, expected);
    std::unique_ptr<QAbstractButton> button;
    if (primary)
        button = std::make_unique<BrandButton>(QStringLiteral("Open System Settings"));
    else
        button = std::make_unique<SecondaryButton>(QStringLiteral("I've done it"));
    QSignalSpy clicked(button.get(), &QAbstractButton::clicked);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(), autoRepeat);
    QCoreApplication::sendEvent(button.get(), &press);
    QCOMPARE(clicked.count(), expected);
}

void TestBrand::focusRingOnlyFromKeyboard_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("ring");
    QTest::newRow("tab") << int(Qt::TabFocusReason) << true;
    QTest::newRow("mouse") << int(Qt::MouseFocusReason) << false;
}

void TestBrand::focusRingOnlyFromKeyboard()
{
    QFETCH(int, reason);
    QFETCH(bool, ring);
    QWidget window;
    auto *layout = new QHBoxLayout(&window);
    layout->addWidget(new SecondaryButton(QStringLiteral("Back")));
    auto *button = new SecondaryButton(QStringLiteral("Try again"));
    layout->addWidget(button);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    const QRgb unfocused = render(button).pixel(1, 19);
    button->setFocus(Qt::FocusReason(reason));
    QVERIFY(button->hasFocus());
    QCOMPARE(qAlpha(render(button).pixel(1, 19)) > 2 * qAlpha(unfocused), ring);
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
    window.hide();
    QVERIFY(!spinner->isAnimating());
}

QTEST_MAIN(TestBrand)
#include "test_brand.moc"
