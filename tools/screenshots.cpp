// vellora-screenshots OUTDIR: a PNG of every screen of the main window and of the About
// window at scale 1 and 2. The real window runs against a scripted server on 127.0.0.1 and a
// generated Messages database in a private home, so every step is reached the way a user
// reaches it. What would differ between runs (the session in the QR code, the spinner's
// frame, the time zone and language of the dates) is fixed, so the tests can compare the
// pictures with reviewed ones.
#include "AboutView.h"
#include "Backup.h"
#include "BackupWriter.h"
#include "ContentView.h"
#include "FixtureDb.h"
#include "PairingClient.h"
#include "Picker.h"
#include "ScriptedServer.h"
#include "StatusScreens.h"
#include "Symbols.h"
#include "TestEnv.h"
#include "WidgetImage.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTest>

#include <cstdio>

using namespace std::chrono_literals;
using Step = PairingClient::Step;
using Answer = ScriptedServer::Answer;

namespace {

const QString create = QStringLiteral("vellora-pair-create");
const QString poll = QStringLiteral("vellora-pair-poll");
const QString upload = QStringLiteral("vellora-pair-upload");

struct Person {
    const char *handle;
    const char *name;  // empty: no contact card, the handle is shown
    int messages;
};

const Person people[] = {
    {"+15550101001", "Anna Smith", 1834},
    {"+15550101002", "Maximiliana Alexandrina Montgomery-Fitzgerald of Upper Wickham", 412},
    {"jamie.rivera@example.com", "Jamie Rivera", 96},
    {"+447700900123", "", 57},
    {"+15550101003", "Dad", 1},
    {"sam@example.org", "Sam O'Connor", 230},
    {"+15550101004", "Élodie Martin", 18},
    {"+15550101005", "", 3},
};

void writeHistory(const QString &chatDb, const QString &contactsDir, bool withConversations)
{
    QFile::remove(chatDb);
    QFile::remove(chatDb + QStringLiteral("-wal"));
    QFile::remove(chatDb + QStringLiteral("-shm"));
    FixtureDb db(chatDb);
    if (!withConversations)
        return;
    QDir().mkpath(contactsDir);
    QFile cards(contactsDir + QStringLiteral("/people.vcf"));
    if (!cards.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot write the contact cards");
    qint64 when = 760000000;  // seconds since 2001: early 2025
    db.begin();
    for (const Person &person : people) {
        const QString handle = QString::fromUtf8(person.handle);
        const qint64 chat = db.addChat({db.addHandle(handle)});
        for (int i = 0; i < person.messages; ++i)
            db.addMessage(chat, (when - i * 3600) * 1000000000LL, i % 2 == 0, QStringLiteral("Message %1").arg(i));
        when -= 86400 * 40;
        if (*person.name) {
            const QByteArray field = handle.contains(QLatin1Char('@')) ? "EMAIL" : "TEL";
            cards.write("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" + QByteArray(person.name) + "\r\n" + field + ":"
                        + QByteArray(person.handle) + "\r\nEND:VCARD\r\n");
        }
    }
    db.commit();
}

class Tour {
public:
    Tour(QString outDir, ScopedHome &home) : m_outDir(std::move(outDir)), m_home(home) {}

    void run(qreal scale)
    {
        m_scale = scale;
        const QString backups = m_home.home() + QStringLiteral("/backups");
        QDir(backups).removeRecursively();
        const QString contacts = m_home.home() + QStringLiteral("/.local/share/contacts");
        writeHistory(m_home.chatDbPath(), contacts, true);
        ScriptedServer server;
        ContentView view;
        ActivationSource noActivation;  // the tour never relaunches
        view.setActivationSource(&noActivation);
        view.setOpenUrl([](const QUrl &) {});
        PairingClient &pairing = view.pairing();
        pairing.setApiBase(server.baseUrl());
        pairing.setPollInterval(20ms);
        pairing.setQuitHandler([] {});
        view.resize(600, 720);

        // The gate: no database to read.
        QFile::rename(m_home.chatDbPath(), m_home.chatDbPath() + QStringLiteral(".away"));
        view.show();
        reach(pairing, Step::needsAccess());
        shot(view, "needs-access");
        view.resize(view.minimumSize());
        shot(view, "needs-access-minimum");
        view.resize(600, 720);
        QFile::rename(m_home.chatDbPath() + QStringLiteral(".away"), m_home.chatDbPath());

        server.hold(create);
        pairing.begin();
        reach(pairing, Step::starting());
        (void)server.waitForRequests(create, 1);
        shot(view, "starting");
        server.release(create);

        server.enqueue(create, Answer{200, R"({"status":"update_required","download_url":"https://example.com/dl"})"});
        pairing.begin();
        reach(pairing, Step::updateRequired(QStringLiteral("https://example.com/dl")));
        shot(view, "update-required");

        server.enqueue(create, Answer{500, "{}"});
        pairing.begin();
        waitFor([&] { return pairing.step().kind() == Step::Kind::failed; });
        shot(view, "failed");

        pairing.begin();
        reach(pairing, Step::scan());
        view.findChild<ScanScreen *>()->setImage(PairingClient::makeQR(QStringLiteral("0F8B6C2A-4D1E-4A57-9C3B-2E6F5A7D8C91")));
        shot(view, "scan");

        server.enqueue(poll, Answer{200, R"({"status":"claimed"})"});
        reach(pairing, Step::pick());
        shot(view, "pick");
        auto *list = view.findChild<ConversationList *>();
        const QRect second = list->visualRect(list->model()->index(1, 0));
        const QPoint pointer = second.topLeft() + QPoint(60, 20);
        QMouseEvent move(QEvent::MouseMove, pointer, list->viewport()->mapToGlobal(pointer), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list->viewport(), &move);
        shot(view, "pick-hover-long-name");
        auto *search = view.findChild<QLineEdit *>(QStringLiteral("search"));
        search->setText(QStringLiteral("zzz"));
        shot(view, "pick-no-match");
        search->setText(QStringLiteral("  ANN "));
        shot(view, "pick-search");
        search->clear();

        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(0, 0)).center());
        reach(pairing, Step::finishing());
        shot(view, "finishing");

        server.hold(upload);
        server.setDefault(poll, Answer{200, R"({"status":"claimed","upload_id":"u"})"});
        reach(pairing, Step::uploading());
        shot(view, "uploading");
        server.release(upload);
        reach(pairing, Step::done());
        shot(view, "done");

        writeHistory(m_home.chatDbPath(), contacts, false);
        server.setDefault(poll, Answer{200, R"({"status":"claimed"})"});
        pairing.begin();
        reach(pairing, Step::pick());
        shot(view, "pick-empty");

        // No database again, but two backups in a folder chosen before: one plain, one locked.
        QFile::rename(m_home.chatDbPath(), m_home.chatDbPath() + QStringLiteral(".away"));
        BackupOptions plain;
        plain.deviceName = QStringLiteral("Anna's iPhone");
        plain.date = QDateTime(QDate(2026, 11, 28), QTime(20, 15), Qt::UTC);
        writeBackup(backups + QStringLiteral("/00008110-0002"), {}, plain);
        BackupOptions locked;
        locked.password = "1234";
        locked.sha256Iterations = 2000000;  // long enough to draw it unlocking, short enough to wait for
        writeBackup(backups + QStringLiteral("/00008110-0001"), {}, locked);
        Backup::rememberFolder(backups);
        pairing.begin();
        reach(pairing, Step::needsAccess());
        shot(view, "source-backups");

        pairing.openBackup(backups + QStringLiteral("/00008110-0001"));
        reach(pairing, Step::locked());
        shot(view, "locked");
        auto *password = view.findChild<QLineEdit *>(QStringLiteral("password"));
        password->setText(QStringLiteral("4321"));
        pairing.unlock(password->text());
        reach(pairing, Step::unlocking());
        shot(view, "unlocking");
        waitFor([&] { return pairing.step().kind() == Step::Kind::locked; });
        shot(view, "locked-wrong-password");
        pairing.chooseAnotherSource();
        QFile::rename(m_home.chatDbPath() + QStringLiteral(".away"), m_home.chatDbPath());
        view.hide();

        AboutView about;
        about.setFixedSize(380, 460);
        shot(about, "about");
    }

private:
    void waitFor(const std::function<bool()> &condition)
    {
        if (!QTest::qWaitFor(condition, 20000))
            throw std::runtime_error("the window never reached the screen wanted");
    }

    void reach(const PairingClient &pairing, const Step &step)
    {
        waitFor([&] { return pairing.step() == step; });
    }

    void shot(QWidget &view, const char *name)
    {
        QCoreApplication::processEvents();
        for (Spinner *spinner : view.findChildren<Spinner *>())
            spinner->restart();
        const QString file = QStringLiteral("%1/%2@%3x.png").arg(m_outDir, QLatin1String(name)).arg(m_scale);
        if (!renderWidget(&view, m_scale).save(file))
            throw std::runtime_error("cannot write " + file.toStdString());
        std::printf("%s\n", qPrintable(file));
    }

    QString m_outDir;
    ScopedHome &m_home;
    qreal m_scale = 1;
};

} // namespace

int main(int argc, char **argv)
{
    // Pictures need no display; the dates read the same wherever they are taken.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("TZ", "UTC");
    qputenv("LC_ALL", "en_US.UTF-8");
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: vellora-screenshots OUTDIR\n");
        return 2;
    }
    // The font `make test` installs, whatever else this machine has: the references are drawn with it.
    QFont font = QApplication::font();
    font.setFamily(QStringLiteral("DejaVu Sans"));
    QApplication::setFont(font);
    QCoreApplication::setOrganizationName(QStringLiteral("Vellora"));
    QApplication::setCursorFlashTime(0);  // a focused field's cursor always drawn, never mid-blink
    ContentView::applyDarkLook(app);
    const QString outDir = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(outDir)) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    try {
        qunsetenv("XDG_DATA_HOME");
        ScopedHome home;
        Tour tour(outDir, home);
        for (qreal scale : {1.0, 2.0})
            tour.run(scale);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vellora-screenshots: %s\n", e.what());
        return 1;
    }
    return 0;
}
