// The built importer as a user runs it: on a virtual X server against the reference backend,
// the phone simulator reading the QR code from a capture of the screen and a real pointer click
// on the first conversation, as `make run` does without a display.
#include "BalancedNodes.h"
#include "PairingService.h"
#include "TestEnv.h"
#include "VirtualDisplay.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// Where scripts/run clicks: the first row of the list, from the window's top-left corner. The
// window opens at its minimum size, so the picker's layout puts the row there; keep both equal.
constexpr int firstRowX = 260;
constexpr int firstRowY = 300;

} // namespace

class TestImporterRun : public QObject {
    Q_OBJECT

private slots:
    void wholeRun_data()
    {
        QTest::addColumn<bool>("balanced");
        QTest::newRow("one service") << false;
        QTest::newRow("nginx in front of two nodes on one Redis") << true;
    }

    void wholeRun()
    {
        QFETCH(bool, balanced);
        qunsetenv("XDG_DATA_HOME");
        ScopedHome home;
        writeTwoPartners(home.chatDbPath());
        PairingService service;
        std::unique_ptr<BalancedNodes> nodes;
        if (balanced)
            nodes = std::make_unique<BalancedNodes>();
        else
            service.start();
        const QString base = QString::fromStdString(balanced ? nodes->baseUrl() : service.baseUrl());
        VirtualDisplay display;
        QVERIFY2(!display.display().isEmpty(), qPrintable(display.error()));

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display.display());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        const QString screens = home.home() + QStringLiteral("/screens");
        QProcessEnvironment importerEnv = env;
        importerEnv.insert(QStringLiteral("VELLORA_API_BASE"), base);
        importerEnv.insert(QStringLiteral("VELLORA_SCREENSHOT_DIR"), screens);
        QProcess importer;
        importer.setProcessEnvironment(importerEnv);
        importer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        importer.start(QStringLiteral(VELLORA_IMPORTER_EXE));
        QVERIFY(importer.waitForStarted());

        const QString received = home.home() + QStringLiteral("/chat.txt");
        QProcess phone;
        phone.setProcessEnvironment(env);
        phone.setProcessChannelMode(QProcess::MergedChannels);
        phone.start(QStringLiteral(VELLORA_PHONE_EXE),
                    {QStringLiteral("--screen"), QStringLiteral("--base"), base,
                     QStringLiteral("--output"), received, QStringLiteral("--timeout"), QStringLiteral("60")});

        const auto shots = [&] { return QDir(screens).entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name); };
        QTRY_VERIFY_WITH_TIMEOUT(shots().join(QLatin1Char(' ')).contains(QLatin1String("-pick.png")), 30000);
        QProcess click;
        click.setProcessEnvironment(env);
        click.start(QStringLiteral("xdotool"),
                    {u"search"_s, u"--sync"_s, u"--name"_s, u"^Vellora iMessage Importer$"_s, u"mousemove"_s,
                     u"--window"_s, u"%1"_s, QString::number(firstRowX), QString::number(firstRowY), u"sleep"_s,
                     u"0.2"_s, u"click"_s, u"1"_s});
        QVERIFY2(click.waitForFinished(30000) && click.exitCode() == 0,
                 "xdotool (scripts/install-deps installs it) found no importer window");

        QVERIFY(phone.waitForFinished(60000));
        QVERIFY2(phone.exitCode() == 0, phone.readAll().constData());
        QFile file(received);  // the first row: Mum's conversation
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), transcriptOf(home.chatDbPath(), mumHandle));

        // One picture per screen the run passed through, in order.
        QTRY_VERIFY_WITH_TIMEOUT(shots().join(QLatin1Char(' ')).contains(QLatin1String("-done.png")), 10000);
        QCOMPARE(shots(), QStringList({u"01-starting.png"_s, u"02-scan.png"_s, u"03-pick.png"_s, u"04-finishing.png"_s,
                                       u"05-uploading.png"_s, u"06-done.png"_s}));
        importer.terminate();
        QVERIFY(importer.waitForFinished(10000));
        QVERIFY(home.snapshotDirs().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestImporterRun)
#include "test_importer_run.moc"
