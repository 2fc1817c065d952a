#include "MainWindow.h"

#include "AboutView.h"
#include "ContentView.h"

#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>
#include <QVBoxLayout>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), m_content(new ContentView(this)),
      m_aboutAction(new QAction(tr("About %1").arg(appName), this))
{
    setWindowTitle(appName);
    setCentralWidget(m_content);
    m_fileMenu = menuBar()->addMenu(tr("File"));
    QAction *openBackup = m_fileMenu->addAction(tr("Open iPhone Backup\u2026"), m_content, &ContentView::openBackupFolder);
    openBackup->setShortcut(QKeySequence::Open);
    m_fileMenu->addAction(tr("Open Messages Database\u2026"), m_content, &ContentView::openDatabaseFile);
#ifndef Q_OS_MACOS
    // macOS has Quit in the application menu already.
    m_fileMenu->addSeparator();
    QAction *quit = m_fileMenu->addAction(tr("Quit"), this, &QWidget::close);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));  // Windows has no standard one
    quit->setMenuRole(QAction::QuitRole);
#endif
    // macOS moves this item into the application menu in place of the standard one.
    m_aboutAction->setMenuRole(QAction::AboutRole);
    menuBar()->addMenu(tr("Help"))->addAction(m_aboutAction);
    connect(m_aboutAction, &QAction::triggered, this, &MainWindow::showAbout);
    // Opens at the smallest size the root view allows; the user may make it larger.
    resize(minimumSizeHint());
}

void MainWindow::showAbout()
{
    if (m_about) {
        m_about->raise();
        m_about->activateWindow();
        return;
    }
    // A window of its own that exists only while it is open, and closes with the main window.
    auto *about = new QWidget(this, Qt::Window);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->setWindowTitle(tr("About %1").arg(appName));
    auto *layout = new QVBoxLayout(about);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new AboutView(about));
    about->setFixedSize(380, 460);
    m_about = about;
    about->show();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // An About window left open would keep the application running without its main window.
    if (m_about)
        m_about->close();
    QMainWindow::closeEvent(event);
}
