#pragma once

#include <QMainWindow>
#include <QPointer>

class ContentView;
class QMenu;

// The application's main window: the root view, the File menu that chooses where the messages
// come from, and the About menu item that opens the one About window (or brings it to the front).
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    static inline const QString appName = QStringLiteral("Vellora iMessage Importer");

    explicit MainWindow(QWidget *parent = nullptr);

    ContentView *contentView() const { return m_content; }
    QAction *aboutAction() const { return m_aboutAction; }
    QMenu *fileMenu() const { return m_fileMenu; }
    // The open About window, if any.
    QWidget *aboutWindow() const { return m_about; }

public slots:
    void showAbout();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    ContentView *m_content;
    QAction *m_aboutAction;
    QMenu *m_fileMenu;
    QPointer<QWidget> m_about;
};
