// The built importer driven only through the accessibility bus (AT-SPI), on a virtual X server
// with a session bus of its own, against the reference backend; the phone simulator plays the
// phone. The walk itself is drive_accessible.py, written with Debian's AT-SPI bindings.
#include "PairingService.h"
#include "TestEnv.h"
#include "VirtualDisplay.h"

#include <QFile>
#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;

class TestAccessibleRun : public QObject {
    Q_OBJECT

private slots:
    void wholeRunByScreenReader()
    {
        qunsetenv("XDG_DATA_HOME");
        ScopedHome home;
        writeTwoPartners(home.chatDbPath());
        PairingService service;
        service.start();
        VirtualDisplay display;
        QVERIFY2(!display.display().isEmpty(), qPrintable(display.error()));

        // A private session bus; the accessibility bus and its registry start on it on demand.
        QProcess bus;
        bus.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--print-address=1"_s});
        QVERIFY(bus.waitForReadyRead(10000));
        const QString address = QString::fromUtf8(bus.readLine().trimmed());

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DISPLAY"_s, display.display());
        env.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, address);
        env.insert(u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, u"1"_s);
        env.remove(u"AT_SPI_BUS_ADDRESS"_s);
        QProcessEnvironment importerEnv = env;
        importerEnv.insert(u"VELLORA_API_BASE"_s, QString::fromStdString(service.baseUrl()));
        QProcess importer;
        importer.setProcessEnvironment(importerEnv);
        importer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        importer.start(QStringLiteral(VELLORA_IMPORTER_EXE));
        QVERIFY(importer.waitForStarted());

        QProcess driver;
        driver.setProcessEnvironment(env);
        driver.setProcessChannelMode(QProcess::MergedChannels);
        driver.start(u"/usr/bin/python3"_s, {QStringLiteral(VELLORA_ACCESSIBLE_DRIVER), mumHandle});
        QString said;
        // The phone scans only once the screen reader has read the QR code.
        QTRY_VERIFY_WITH_TIMEOUT((said += QString::fromUtf8(driver.readAll())).contains(u"image: QR code"_s)
                                     || driver.state() == QProcess::NotRunning,
                                 40000);
        QVERIFY2(said.contains(u"image: QR code"_s), qPrintable(said + QString::fromUtf8(driver.readAll())));

        const QString received = home.home() + u"/chat.txt"_s;
        QProcess phone;
        phone.setProcessEnvironment(env);
        phone.setProcessChannelMode(QProcess::MergedChannels);
        phone.start(QStringLiteral(VELLORA_PHONE_EXE),
                    {u"--screen"_s, u"--base"_s, QString::fromStdString(service.baseUrl()), u"--output"_s, received,
                     u"--timeout"_s, u"60"_s});
        QVERIFY(driver.waitForFinished(90000));
        said += QString::fromUtf8(driver.readAll());
        QVERIFY2(driver.exitCode() == 0 && said.endsWith(u"OK\n"_s), qPrintable(said));
        qInfo().noquote() << said;
        QVERIFY(phone.waitForFinished(60000));
        QVERIFY2(phone.exitCode() == 0, phone.readAll().constData());
        QFile file(received);  // the row the screen reader chose
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), transcriptOf(home.chatDbPath(), mumHandle));

        importer.terminate();
        QVERIFY(importer.waitForFinished(10000));
        bus.terminate();
        bus.waitForFinished(5000);
    }
};

QTEST_GUILESS_MAIN(TestAccessibleRun)
#include "test_accessible_run.moc"
