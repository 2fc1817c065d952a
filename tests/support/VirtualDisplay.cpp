#include "VirtualDisplay.h"

#include <QStandardPaths>

bool VirtualDisplay::available()
{
    return !QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty();
}

VirtualDisplay::VirtualDisplay()
{
    // -displayfd: the server picks a free display and writes its number once it takes clients.
    m_server.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                            QStringLiteral("0"), QStringLiteral("1024x768x24"),
                                            QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    while (m_server.waitForReadyRead(10000)) {
        if (m_server.canReadLine()) {
            m_display = QLatin1Char(':') + QString::fromLatin1(m_server.readLine().trimmed());
            return;
        }
    }
    m_error = QStringLiteral("Xvfb did not start: ") + m_server.errorString() + QLatin1Char(' ') +
              QString::fromLocal8Bit(m_server.readAllStandardError());
}

VirtualDisplay::~VirtualDisplay()
{
    m_server.terminate();
    if (!m_server.waitForFinished(5000))
        m_server.kill();
    m_server.waitForFinished(5000);
}
