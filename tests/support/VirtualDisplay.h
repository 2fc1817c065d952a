#pragma once

#include <QProcess>
#include <QString>

// A virtual X server (Xvfb) on a free display number, for the life of the object: where a test
// or benchmark runs the built importer as a user would see it, with real pointer clicks.
class VirtualDisplay {
public:
    VirtualDisplay();  // starts Xvfb; see error() when it could not
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay &) = delete;
    VirtualDisplay &operator=(const VirtualDisplay &) = delete;

    static bool available();  // Xvfb is installed
    QString display() const { return m_display; }  // ":N", empty when not running
    QString error() const { return m_error; }

private:
    QProcess m_server;
    QString m_display;
    QString m_error;
};
