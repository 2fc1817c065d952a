#include "StepScreenshots.h"

#include "PairingClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

StepScreenshots::StepScreenshots(const PairingClient &pairing, QWidget *content, const QString &dir)
    : QObject(content), m_pairing(pairing), m_content(content), m_dir(dir)
{
    QDir().mkpath(dir);
    // Connected after the root view's own handler, so the new screen is already in place.
    connect(&pairing, &PairingClient::stepChanged, this, &StepScreenshots::save);
    // The first screen once the window is shown and laid out.
    QTimer::singleShot(0, this, &StepScreenshots::save);
}

void StepScreenshots::save()
{
    // Steps can follow each other within one event-loop turn (finishing, uploading, done), so the
    // picture is taken now, with the layout brought up to date, rather than on a later paint.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    const QString name = m_pairing.step().toString().section(QLatin1Char('('), 0, 0);
    const QString file = QDir(m_dir).filePath(QStringLiteral("%1-%2.png").arg(++m_count, 2, 10, QLatin1Char('0')).arg(name));
    if (!m_content->grab().save(file))
        qWarning("VELLORA_SCREENSHOT_DIR: cannot write %s", qPrintable(file));
}
