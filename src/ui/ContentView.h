#pragma once

#include <QUrl>
#include <QWidget>

#include <functional>
#include <memory>

class AccessGate;
class DoneScreen;
class FailedScreen;
class PairingClient;
class PasswordScreen;
class Picker;
class QApplication;
class QVBoxLayout;
class ScanScreen;
class SourceScreen;
class UpdateScreen;
class WaitingScreen;

// Reports the application's activation changes: by default those of QGuiApplication; tests
// and tools emit their own.
class ActivationSource : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    void stateChanged(Qt::ApplicationState state);
};

// The main window's content: the brand surface, the logo and the one screen that belongs to
// the controller's step. Owns the controller; starts the flow each time it is shown.
class ContentView : public QWidget {
    Q_OBJECT

public:
    using OpenUrl = std::function<void(const QUrl &)>;
    // Asks the user for a path; empty when they cancel.
    using ChoosePath = std::function<QString()>;

    explicit ContentView(QWidget *parent = nullptr);
    ~ContentView() override;

    // Configure it (backend, poll interval, launcher) before the view is first shown.
    PairingClient &pairing() { return *m_pairing; }
    // The picker's search text; kept for the life of the view.
    QString query() const;
    // The screen shown now.
    QWidget *currentScreen() const { return m_current; }

    // How addresses are opened; QDesktopServices::openUrl by default.
    void setOpenUrl(OpenUrl open) { m_openUrl = std::move(open); }
    // Where activation changes come from (not owned); the application's by default.
    void setActivationSource(ActivationSource *source);
    // How a backup folder and a database file are asked for; QFileDialog by default.
    void setChooseBackupFolder(ChoosePath choose) { m_chooseBackupFolder = std::move(choose); }
    void setChooseDatabase(ChoosePath choose) { m_chooseDatabase = std::move(choose); }

    // Asks for a source and starts the flow again from it; nothing changes when the user cancels.
    // A folder holding several backups opens the newest and lists them all from then on.
    void openBackupFolder();
    void openDatabaseFile();

    // Fusion with the brand's dark palette, so the text field and scroll bar match the
    // window whatever the desktop's setting.
    static void applyDarkLook(QApplication &application);

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void showStep();
    void updateStretch();
    void openDownload(const QString &address);

    std::unique_ptr<PairingClient> m_pairing;
    OpenUrl m_openUrl;
    ChoosePath m_chooseBackupFolder;
    ChoosePath m_chooseDatabase;
    ActivationSource *m_applicationActivation;
    QMetaObject::Connection m_activation;
    QString m_downloadAddress;

    QVBoxLayout *m_column;
    AccessGate *m_gate;
    ScanScreen *m_scan;
    WaitingScreen *m_waiting;
    DoneScreen *m_done;
    FailedScreen *m_failed;
    UpdateScreen *m_update;
    Picker *m_picker;
    SourceScreen *m_source;
    PasswordScreen *m_password;
    QWidget *m_current = nullptr;
};
