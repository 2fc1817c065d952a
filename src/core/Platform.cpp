#include "Platform.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QProcess>
#include <QUrl>

namespace FullDiskAccess {
void openSettings()
{
    const QUrl url(QString::fromLatin1(settingsLink), QUrl::StrictMode);
    if (url.isValid())
        QDesktopServices::openUrl(url);
}
} // namespace FullDiskAccess

ProcessLauncher::ProcessLauncher()
    : ProcessLauncher(QCoreApplication::applicationFilePath(), QCoreApplication::arguments().mid(1))
{
}

ProcessLauncher::ProcessLauncher(QString program, QStringList arguments)
    : m_program(std::move(program)), m_arguments(std::move(arguments))
{
}

void ProcessLauncher::launchNewInstance(std::function<void(bool started)> started)
{
    // startDetached returns once the child has been exec'd (or failed to be).
    started(QProcess::startDetached(m_program, m_arguments));
}

#ifndef Q_OS_MACOS
std::unique_ptr<AppLauncher> makePlatformLauncher()
{
    return std::make_unique<ProcessLauncher>();
}
#endif
