#include "AboutView.h"
#include "Brand.h"
#include "WidgetImage.h"

#include <QTest>

class TestAboutView : public QObject {
    Q_OBJECT

private slots:
    void layout_data();
    void layout();
    void links_data();
    void links();
};

void TestAboutView::layout_data()
{
    QTest::addColumn<qreal>("dpr");
    QTest::newRow("scale 1") << 1.0;
    QTest::newRow("scale 2") << 2.0;
}

void TestAboutView::layout()
{
    QFETCH(qreal, dpr);
    // Its version line is checked in the window the menu opens (test_main_window).
    AboutView view;
    const QImage image = renderWidget(&view, dpr);
    QCOMPARE(image.size(), QSize(380, 460) * dpr);
    QCOMPARE(image.pixelColor(0, 0), Brand::surface());
    QCOMPARE(image.pixelColor(image.width() - 1, image.height() - 1), Brand::surface());

    // The content sits in the padded area: the logo's glyph starts at the top padding, the
    // copyright line ends at the bottom padding, and nothing reaches the side padding.
    QRect ink;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != Brand::surface().rgb())
                ink |= QRect(x, y, 1, 1);
    QVERIFY2(qAbs(ink.top() - 36 * dpr) <= 2 * dpr, qPrintable(QString::number(ink.top())));
    const QWidget *logo = view.findChild<QWidget *>(QStringLiteral("aboutLogo"));
    QCOMPARE(logo->size(), logo->sizeHint());
    QVERIFY2(ink.bottom() < (460 - 36) * dpr && ink.bottom() > (460 - 36 - 6) * dpr,
             qPrintable(QString::number(ink.bottom())));
    QVERIFY(ink.left() >= 32 * dpr && ink.right() < (380 - 32) * dpr);
}

void TestAboutView::links_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<int>("key");  // 0 is a mouse click
    QTest::addColumn<QString>("address");
    QTest::newRow("website click") << "aboutWebsite" << 0 << "https://vellora.app";
    QTest::newRow("mail, keyboard") << "aboutMail" << int(Qt::Key_Return) << "mailto:hello@vellora.app";
}

void TestAboutView::links()
{
    QFETCH(QString, link);
    QFETCH(int, key);
    QFETCH(QString, address);
    AboutView view;
    QList<QUrl> opened;
    view.setOpenUrl([&opened](const QUrl &url) {
        opened << url;
        return true;
    });
    view.show();
    QVERIFY(QTest::qWaitForWindowActive(&view));
    auto *button = view.findChild<QAbstractButton *>(link);
    if (key == 0) {
        QTest::mouseClick(button, Qt::LeftButton);
    } else {
        // Keyboard reachable: the website has focus when the window opens, Tab moves to the mail.
        QTest::keyClick(&view, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), button);
        QTest::keyClick(button, Qt::Key(key));
    }
    QCOMPARE(opened, QList<QUrl>{QUrl(address, QUrl::StrictMode)});
}

QTEST_MAIN(TestAboutView)
#include "test_about_view.moc"
