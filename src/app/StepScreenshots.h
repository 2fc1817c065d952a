#pragma once

#include <QObject>
#include <QString>

class QWidget;
class PairingClient;

// Debug hook behind VELLORA_SCREENSHOT_DIR: saves a PNG of the window's content each time the
// flow moves to another screen, numbered in order ("01-starting.png", "02-scan.png", ...), so a
// run without a display can still be looked at afterwards.
class StepScreenshots : public QObject {
    Q_OBJECT

public:
    StepScreenshots(const PairingClient &pairing, QWidget *content, const QString &dir);

private:
    void save();

    const PairingClient &m_pairing;
    QWidget *m_content;
    QString m_dir;
    int m_count = 0;
};
