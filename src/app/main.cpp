// vellora-imessage-importer: the application's entry point.
#include "Accessibility.h"
#include "AppIcon.h"
#include "ContentView.h"
#include "MainWindow.h"
#include "QuitOnSignal.h"
#include "StepScreenshots.h"

#include <QApplication>
#include <QIcon>
#include <QPixmap>

#ifdef Q_OS_MACOS
#include "DarkAppearance.h"
#endif

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Before any widget: a widget keeps the accessible interface it was first given.
    Accessibility::install();
    QApplication::setApplicationName(QStringLiteral("vellora-imessage-importer"));
    QApplication::setOrganizationName(QStringLiteral("Vellora"));  // where the settings live
    QGuiApplication::setDesktopFileName(QStringLiteral("app.vellora.imessage_importer"));
    quitOnTerminationSignals();
    ContentView::applyDarkLook(app);
#ifdef Q_OS_MACOS
    requestDarkAppearance();  // the title bars too, which the palette does not reach
#endif
    QIcon icon;
    for (const int size : {16, 32, 64, 128, 256})
        icon.addPixmap(QPixmap::fromImage(AppIcon::image(size)));
    QApplication::setWindowIcon(icon);

    MainWindow window;
    if (const QString dir = qEnvironmentVariable("VELLORA_SCREENSHOT_DIR"); !dir.isEmpty())
        new StepScreenshots(window.contentView()->pairing(), window.contentView(), dir);
    window.show();
    return app.exec();
}
