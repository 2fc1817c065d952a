#include "ContentView.h"

#include "AccessGate.h"
#include "Backup.h"
#include "Brand.h"
#include "PairingClient.h"
#include "Picker.h"
#include "Platform.h"
#include "SourceScreens.h"
#include "StatusScreens.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QPainter>
#include <QShowEvent>
#include <QStyleFactory>
#include <QVBoxLayout>

namespace {
// Layout items of the column: stretch, logo, screens, stretch.
constexpr int topStretch = 0;
constexpr int screenItem = 2;
constexpr int bottomStretch = 3;
} // namespace

ContentView::ContentView(QWidget *parent)
    : QWidget(parent), m_pairing(std::make_unique<PairingClient>()),
      m_openUrl([](const QUrl &url) { QDesktopServices::openUrl(url); }),
      m_applicationActivation(new ActivationSource(this)), m_column(new QVBoxLayout(this)), m_gate(new AccessGate),
      m_scan(new ScanScreen), m_waiting(new WaitingScreen), m_done(new DoneScreen), m_failed(new FailedScreen),
      m_update(new UpdateScreen), m_picker(new Picker), m_source(new SourceScreen), m_password(new PasswordScreen)
{
    m_chooseBackupFolder = [this] {
        const QStringList known = Backup::standardFolders();
        const auto existing = std::find_if(known.begin(), known.end(), [](const QString &f) { return QDir(f).exists(); });
        return QFileDialog::getExistingDirectory(this, tr("Open iPhone Backup"),
                                                 existing != known.end() ? *existing : QDir::homePath());
    };
    m_chooseDatabase = [this] {
        return QFileDialog::getOpenFileName(this, tr("Open Messages Database"), QDir::homePath(),
                                            tr("Messages databases (*.db);;All files (*)"));
    };
    setMinimumSize(520, 600);
    m_column->setContentsMargins(40, 40, 40, 40);
    m_column->setSpacing(22);
    m_column->addStretch(1);
    m_column->addWidget(new BrandLogo(38), 0, Qt::AlignHCenter);

    auto *screens = new QWidget;
    auto *stack = new QVBoxLayout(screens);
    stack->setContentsMargins({});
    stack->setSpacing(0);
    const QList<QWidget *> all{m_gate, m_scan, m_waiting, m_done, m_failed, m_update, m_picker, m_source, m_password};
    for (QWidget *screen : all) {
        screen->hide();
        stack->addWidget(screen);
    }
    m_column->addWidget(screens);
    m_column->addStretch(1);

    m_gate->setObjectName(QStringLiteral("accessGate"));
    m_scan->setObjectName(QStringLiteral("scan"));
    m_waiting->setObjectName(QStringLiteral("waiting"));
    m_done->setObjectName(QStringLiteral("done"));
    m_failed->setObjectName(QStringLiteral("failed"));
    m_update->setObjectName(QStringLiteral("updateRequired"));
    m_picker->setObjectName(QStringLiteral("pick"));
    m_source->setObjectName(QStringLiteral("source"));
    m_password->setObjectName(QStringLiteral("locked"));

    connect(m_gate, &AccessGate::openSettingsClicked, this, [this] {
        m_pairing->setDidVisitSettings(true);
        m_openUrl(QUrl(QString::fromLatin1(FullDiskAccess::settingsLink)));
    });
    connect(m_gate, &AccessGate::doneClicked, this, [this] { m_pairing->relaunch(); });
    connect(m_failed, &FailedScreen::tryAgainClicked, this, [this] { m_pairing->begin(); });
    connect(m_update, &UpdateScreen::downloadClicked, this, [this] { openDownload(m_downloadAddress); });
    connect(m_picker, &Picker::chosen, this, [this](const Conversation &c) { m_pairing->choose(c); });
    connect(m_picker, &Picker::showsListChanged, this, &ContentView::updateStretch);
    connect(m_source, &SourceScreen::backupChosen, this, [this](const QString &folder) { m_pairing->openBackup(folder); });
    connect(m_source, &SourceScreen::chooseFolderClicked, this, &ContentView::openBackupFolder);
    connect(m_password, &PasswordScreen::unlockClicked, this, [this](const QString &password) { m_pairing->unlock(password); });
    connect(m_password, &PasswordScreen::cancelClicked, this, [this] { m_pairing->cancelUnlock(); });
    connect(m_password, &PasswordScreen::chooseAnotherClicked, this, [this] {
        m_pairing->cancelUnlock();
#ifdef Q_OS_MACOS
        openBackupFolder();
#else
        m_pairing->chooseAnotherSource();
#endif
    });

    connect(m_pairing.get(), &PairingClient::stepChanged, this, &ContentView::showStep);
    connect(m_pairing.get(), &PairingClient::qrImageChanged, this,
            [this] { m_scan->setImage(m_pairing->qrImage()); });
    connect(m_pairing.get(), &PairingClient::conversationsChanged, this,
            [this] { m_picker->setConversations(m_pairing->conversations()); });

    if (qGuiApp)
        connect(qGuiApp, &QGuiApplication::applicationStateChanged, m_applicationActivation,
                &ActivationSource::stateChanged);
    setActivationSource(m_applicationActivation);
    showStep();
}

ContentView::~ContentView() = default;

QString ContentView::query() const
{
    return m_picker->query();
}

void ContentView::setActivationSource(ActivationSource *source)
{
    disconnect(m_activation);
    m_activation = connect(source, &ActivationSource::stateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive)
            m_pairing->applicationActivated();
    });
}

void ContentView::applyDarkLook(QApplication &application)
{
    application.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    application.setPalette(Brand::darkPalette());
}

void ContentView::paintEvent(QPaintEvent *)
{
    QPainter(this).fillRect(rect(), Brand::surface());
}

void ContentView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // A window restored by the system is not a new appearance.
    if (!event->spontaneous())
        m_pairing->begin();
}

void ContentView::showStep()
{
    using Kind = PairingClient::Step::Kind;
    const PairingClient::Step &step = m_pairing->step();
    QWidget *screen = nullptr;
    switch (step.kind()) {
    case Kind::updateRequired:
        m_downloadAddress = step.text();
        screen = m_update;
        break;
    case Kind::failed:
        m_failed->setMessage(step.text());
        screen = m_failed;
        break;
    case Kind::needsAccess:
#ifdef Q_OS_MACOS
        screen = m_gate;
#else
        // Nobody has the Mac's database here: the phone's backups are the source.
        m_source->setBackups(Backup::discover(Backup::standardFolders()));
        screen = m_source;
#endif
        break;
    case Kind::locked:
        m_password->showLocked(step.text());
        screen = m_password;
        break;
    case Kind::unlocking:
        m_password->showUnlocking();
        screen = m_password;
        break;
    case Kind::starting:
        m_waiting->setTexts(tr("Getting ready\u2026"), tr("One sec."));
        screen = m_waiting;
        break;
    case Kind::scan:
        screen = m_scan;
        break;
    case Kind::pick:
        screen = m_picker;
        break;
    case Kind::finishing:
        m_waiting->setTexts(tr("Over to you"),
                            tr("Finish up on your phone \u2014 we'll send it the moment you're set."));
        screen = m_waiting;
        break;
    case Kind::uploading:
        m_waiting->setTexts(tr("Sending your story over"),
                            tr("Handing it to Vellora. Almost done."));
        screen = m_waiting;
        break;
    case Kind::done:
        screen = m_done;
        break;
    }
    if (screen != m_current) {
        screen->show();
        if (m_current)
            m_current->hide();
        m_current = screen;
    }
    updateStretch();
}

void ContentView::updateStretch()
{
    // Only the picker's list takes spare height; every other screen sits centred.
    const bool listGrows = m_current == m_picker && m_picker->showsList();
    m_column->setStretch(topStretch, listGrows ? 0 : 1);
    m_column->setStretch(bottomStretch, listGrows ? 0 : 1);
    m_column->setStretch(screenItem, listGrows ? 1 : 0);
}

void ContentView::openDownload(const QString &address)
{
    // The address comes from the backend: only a web page is opened, never a local file or
    // another application's scheme.
    const QUrl url(address, QUrl::StrictMode);
    if (url.isValid() && !url.host().isEmpty()
        && (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http")))
        m_openUrl(url);
}

void ContentView::openBackupFolder()
{
    const QString folder = m_chooseBackupFolder();
    if (folder.isEmpty())
        return;
    const QList<BackupInfo> found = Backup::discover({folder});
    if (found.size() > 1)
        Backup::rememberFolder(folder);
    // A folder that holds none is opened all the same, to say why it can't be read.
    m_pairing->openBackup(found.isEmpty() ? folder : found.first().folder);
}

void ContentView::openDatabaseFile()
{
    if (const QString file = m_chooseDatabase(); !file.isEmpty())
        m_pairing->openDatabase(file);
}
