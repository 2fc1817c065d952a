// The application's windows, built as main() builds them and driven through the menu item,
// and the About window's content on its own.
#include "AboutView.h"
#include "Brand.h"
#include "ContentView.h"
#include "MainWindow.h"
#include "PairingClient.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QMenu>
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

    // The File menu chooses where the messages come from; Quit ends it where the system expects one.
    void fileMenu()
    {
        MainWindow window;
        QStringList items;
        for (const QAction *action : window.fileMenu()->actions())
            items << (action->text() + u' ' + action->shortcut().toString()).trimmed();
        QStringList expected{u"Open iPhone Backup\u2026 Ctrl+O"_qs, u"Open Messages Database\u2026"_qs};
#ifndef Q_OS_MACOS
        expected << QString() << u"Quit Ctrl+Q"_qs;
#endif
        QCOMPARE(items, expected);

        ContentView *content = window.contentView();
        const QString nowhere = QDir::tempPath() + u"/no-backup-here"_qs;
        content->setChooseBackupFolder([&nowhere] { return nowhere; });
        content->setChooseDatabase([&nowhere] { return nowhere + u"/chat.db"_qs; });
        window.fileMenu()->actions()[1]->trigger();
        QCOMPARE(content->pairing().step(), PairingClient::Step::needsAccess());
        window.fileMenu()->actions()[0]->trigger();
        QCOMPARE(content->pairing().step(),
                 PairingClient::Step::failed(u"Couldn't read the iPhone backup: there is no Manifest.db in it."_qs));
#ifndef Q_OS_MACOS
        window.show();
        window.fileMenu()->actions().last()->trigger();
        QVERIFY(!window.isVisible());
#endif
    }

    // Chosen twice: one window, brought to the front; closing it lets the next choice open a new one.
    void aboutWindowSingleInstance()
    {
        MainWindow window;
        window.show();
        QVERIFY(!window.aboutWindow());
        window.aboutAction()->trigger();
        // Read once: the guarded pointer is for seeing it go, the plain one for what it shows.
        const QPointer<QWidget> about = window.aboutWindow();
        QWidget *const shown = about.data();
        QVERIFY(shown && shown->isVisible());
        QCOMPARE(shown->windowTitle(), QStringLiteral("About Vellora iMessage Importer"));
        QCOMPARE(shown->size(), QSize(380, 460));
        QCOMPARE(shown->minimumSize(), shown->maximumSize());
        QVERIFY(shown->findChild<AboutView *>());
        // The version line shows the values this program was built with (without any: "0.1.0 (dev)").
        const auto *version = shown->findChild<BrandText *>(QStringLiteral("aboutVersion"));
        QVERIFY(version);
        QCOMPARE(version->text(), QStringLiteral("Version " VELLORA_VERSION " (" VELLORA_BUILD_NUMBER ")"));
        QCOMPARE(AboutView::versionLine(u"2.3"_qs, u"41"_qs), u"Version 2.3 (41)"_qs);

        window.aboutAction()->trigger();
        QCOMPARE(window.aboutWindow(), shown);
        const QWidgetList windows = QApplication::topLevelWidgets();
        QCOMPARE(std::count_if(windows.begin(), windows.end(),
                               [](QWidget *w) { return w->findChild<AboutView *>(QString(), Qt::FindDirectChildrenOnly) != nullptr; }),
                 1);

        about->close();
        QTRY_VERIFY(!about);
        window.aboutAction()->trigger();
        const QWidget *reopened = window.aboutWindow();
        QVERIFY(reopened && reopened->isVisible());
        window.close();
        const QWidget *left = window.aboutWindow();
        QVERIFY(!left || !left->isVisible());
    }

    // The website by a click, the mail by keyboard: one Tab on from the website.
    void aboutLinks()
    {
        AboutView view;
        QList<QUrl> opened;
        view.setOpenUrl([&opened](const QUrl &url) {
            opened << url;
            return true;
        });
        view.show();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        QTest::mouseClick(view.findChild<QAbstractButton *>(QStringLiteral("aboutWebsite")), Qt::LeftButton);
        QTest::keyClick(&view, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), view.findChild<QAbstractButton *>(QStringLiteral("aboutMail")));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(opened, QList<QUrl>({QUrl(QStringLiteral("https://vellora.app"), QUrl::StrictMode),
                                      QUrl(QStringLiteral("mailto:hello@vellora.app"), QUrl::StrictMode)}));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
