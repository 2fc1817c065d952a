#pragma once

#include <QWidget>

// Shown while the Messages database cannot be read: why Full Disk Access is needed, the three
// steps in System Settings, and the two ways on.
class AccessGate : public QWidget {
    Q_OBJECT

public:
    explicit AccessGate(QWidget *parent = nullptr);

signals:
    void openSettingsClicked();
    void doneClicked();
};
