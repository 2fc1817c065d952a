// From launching the built importer to its QR code on the screen, against the local reference
// backend on the benchmark database: the screen of a virtual X server is captured over and over
// and the first capture in which zxing finds the code ends the measure, so the figure is what a
// phone camera would see. Floor, measured in the same run and in turns with it: copying the
// database files with cp plus the listing's two statements stepped bare on the copy.
#include "BenchData.h"
#include "Floors.h"
#include "PairingService.h"
#include "PhoneClient.h"
#include "VirtualDisplay.h"

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace {

// Captures are spaced out: back to back, they took a whole core from the importer they watch.
constexpr int captureGapMs = 50;

struct Launch {
    double ms = 0;       // launch to the start of the first capture that shows the code
    double cycleMs = 0;  // capture, decode and gap: how finely that time is resolved
};

Launch launchToCode(QScreen *screen, const QProcessEnvironment &env)
{
    QProcess importer;
    importer.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    importer.start(QStringLiteral(VELLORA_IMPORTER_EXE));
    int captures = 0;
    for (;;) {
        const qint64 shot = clock.nsecsElapsed();
        const QImage image = screen->grabWindow(0).toImage();
        ++captures;
        try {
            PhoneClient::sessionIdFromImage(image);
            const Launch result{double(shot) / 1e6, double(clock.nsecsElapsed()) / 1e6 / captures};
            importer.terminate();
            importer.waitForFinished(10000);
            return result;
        } catch (const PhoneError &) {
            if (importer.state() == QProcess::NotRunning || clock.elapsed() > 120000)
                throw std::runtime_error("the importer showed no QR code: " +
                                         importer.readAllStandardError().toStdString());
        }
        QThread::msleep(captureGapMs);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    try {
        if (!VirtualDisplay::available())
            throw std::runtime_error("Xvfb is not installed (scripts/install-deps installs it)");
        const BenchData &data = benchData();
        const VirtualDisplay display;
        if (display.display().isEmpty())
            throw std::runtime_error(display.error().toStdString());
        qputenv("DISPLAY", display.display().toLatin1());
        qputenv("QT_QPA_PLATFORM", "xcb");
        const QGuiApplication app(argc, argv);

        QTemporaryDir home;
        linkDatabase(data.chatDbPath, home.path());
        PairingService service;
        service.start();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("TMPDIR"), home.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/share"));
        env.insert(QStringLiteral("VELLORA_API_BASE"), QString::fromStdString(service.baseUrl()));

        const QStringList files = databaseFiles(data.chatDbPath);
        const QString copy = home.path() + QStringLiteral("/cp");
        QList<double> launches, cycles, floors;
        for (int r = 0; r < rounds; ++r) {
            const Launch launch = launchToCode(QGuiApplication::primaryScreen(), env);
            launches.append(launch.ms);
            cycles.append(launch.cycleMs);

            QDir(copy).removeRecursively();
            QDir().mkpath(copy);
            QElapsedTimer clock;
            clock.start();
            if (runCp(files, copy) != 0)
                throw std::runtime_error("cp failed");
            sqlite3 *db = openBare(copy + QStringLiteral("/chat.db"));
            listBare(db);
            sqlite3_close(db);
            floors.append(double(clock.nsecsElapsed()) / 1e6);
        }
        QDir(copy).removeRecursively();

        const double ours = percentile(launches, 50);
        const double floor = percentile(floors, 50);
        const double ratio = ours / floor;
        std::printf("database: %s, %lld messages; median of %d rounds\n", qPrintable(data.chatDbPath),
                    qlonglong(data.summary.messages), rounds);
        std::printf("launch to QR code on screen %8.1f ms (screen checked every %.0f ms) | cp + listing bare %8.1f ms"
                    " | ratio %.2f (target <= 1.15) %s\n",
                    ours, percentile(cycles, 50), floor, ratio, ratio <= 1.15 ? "ok" : "MISSED");
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_launch: %s\n", e.what());
        return 1;
    }
}
