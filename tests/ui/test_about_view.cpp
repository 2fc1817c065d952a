#include "AboutView.h"
#include "Brand.h"
#include "WidgetImage.h"

#include <QTest>

class TestAboutView : public QObject {
    Q_OBJECT

private slots:
    void layout_data();
    void layout();
    void versionLine();
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
    AboutView view;
    QCOMPARE(view.minimumSize(), QSize(380, 460));
    QCOMPARE(view.maximumSize(), QSize(380, 460));
    QCOMPARE(view.findChild<BrandText *>(QStringLiteral("aboutVersion"))->text(), "Version 0.1.0 (dev)");

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

void TestAboutView::versionLine()
{
    QCOMPARE(AboutView::versionLine(QStringLiteral("2.3"), QStringLiteral("41")), "Version 2.3 (41)");
}

void TestAboutView::links_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<int>("key");  // 0 is a mouse click
    QTest::addColumn<QString>("address");
    QTest::newRow("website click") << "aboutWebsite" << 0 << "https://vellora.app";
    QTest::newRow("website return") << "aboutWebsite" << int(Qt::Key_Return) << "https://vellora.app";
    QTest::newRow("mail click") << "aboutMail" << 0 << "mailto:hello@vellora.app";
    QTest::newRow("mail space") << "aboutMail" << int(Qt::Key_Space) << "mailto:hello@vellora.app";
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
        const int tabs = link == QLatin1String("aboutWebsite") ? 0 : 1;
        for (int i = 0; i < tabs; ++i)
            QTest::keyClick(&view, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), button);
        QTest::keyClick(button, Qt::Key(key));
    }
    QCOMPARE(opened, QList<QUrl>{QUrl(address)});
    QVERIFY(opened.first().isValid());
}

QTEST_MAIN(TestAboutView)
#include "test_about_view.moc"
