// The application's windows, built as main() builds them and driven through the menu item.
#include "AboutView.h"
#include "Brand.h"
#include "MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QMenuBar>
#include <QTest>

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void mainWindow()
    {
        MainWindow window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Vellora iMessage Importer"));
        window.show();
        window.resize(100, 100);
        QCOMPARE(window.centralWidget()->size(), QSize(520, 600));
    }

    void aboutMenuItem()
    {
        MainWindow window;
        QAction *about = window.aboutAction();
        QCOMPARE(about->text(), QStringLiteral("About Vellora iMessage Importer"));
        QVERIFY(about->shortcut().isEmpty());
        QCOMPARE(about->menuRole(), QAction::AboutRole);
        const QList<QAction *> menus = window.menuBar()->actions();
        QVERIFY(std::any_of(menus.begin(), menus.end(),
                            [&](QAction *menu) { return menu->menu() && menu->menu()->actions().contains(about); }));
    }

    // Chosen twice: one window, brought to the front; closing it lets the next choice open a new one.
    void aboutWindowSingleInstance()
    {
        MainWindow window;
        window.show();
        QVERIFY(!window.aboutWindow());
        window.aboutAction()->trigger();
        const QPointer<QWidget> about = window.aboutWindow();
        QVERIFY(about && about->isVisible());
        QCOMPARE(about->windowTitle(), QStringLiteral("About Vellora iMessage Importer"));
        QCOMPARE(about->size(), QSize(380, 460));
        QCOMPARE(about->minimumSize(), about->maximumSize());
        QVERIFY(about->findChild<AboutView *>());
        // The version line shows the values this program was built with (without any: "0.1.0 (dev)").
        const auto *version = about->findChild<BrandText *>(QStringLiteral("aboutVersion"));
        QVERIFY(version);
        QCOMPARE(version->text(), QStringLiteral("Version " VELLORA_VERSION " (" VELLORA_BUILD_NUMBER ")"));

        window.aboutAction()->trigger();
        QCOMPARE(window.aboutWindow(), about.data());
        const QWidgetList windows = QApplication::topLevelWidgets();
        QCOMPARE(std::count_if(windows.begin(), windows.end(),
                               [](QWidget *w) { return w->findChild<AboutView *>(QString(), Qt::FindDirectChildrenOnly) != nullptr; }),
                 1);

        about->close();
        QTRY_VERIFY(!about);
        window.aboutAction()->trigger();
        QVERIFY(window.aboutWindow() && window.aboutWindow()->isVisible());
        window.close();
        QVERIFY(!window.aboutWindow() || !window.aboutWindow()->isVisible());
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
