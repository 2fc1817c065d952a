#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace FullDiskAccess {
// System Settings, Privacy & Security, Full Disk Access.
inline constexpr const char *settingsLink =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles";
void openSettings();
} // namespace FullDiskAccess

// Starts a fresh instance of the running application. `started` is called once, on the
// thread the platform chooses, with whether the new instance is running.
class AppLauncher {
public:
    virtual ~AppLauncher() = default;
    virtual void launchNewInstance(std::function<void(bool started)> started) = 0;
};

// Starts a program as a detached process; the default program is the running executable.
class ProcessLauncher final : public AppLauncher {
public:
    ProcessLauncher();  // the running executable with its arguments
    ProcessLauncher(QString program, QStringList arguments);
    void launchNewInstance(std::function<void(bool started)> started) override;

private:
    QString m_program;
    QStringList m_arguments;
};

// macOS: a new instance of the running bundle; elsewhere: ProcessLauncher.
std::unique_ptr<AppLauncher> makePlatformLauncher();
