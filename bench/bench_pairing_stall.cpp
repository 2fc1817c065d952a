// How long the main thread stops answering while a session starts and while the long
// conversation is uploaded, against the benchmark database. Floor: the event loop's own
// jitter with the controller idle; for scale, the same work done on the main thread.
#include "BenchData.h"
#include "ChatDatabase.h"
#include "PairingClient.h"
#include "ScriptedServer.h"
#include "Transcript.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>

using namespace std::chrono_literals;

namespace {

// Largest gap between ticks of a 2 ms timer until `until` holds (or the time is up), minus
// the period.
double longestStallMs(const std::function<bool()> &until, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    qint64 worst = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        worst = std::max(worst, now - last);
        last = now;
    });
    ticker.start(2);
    (void)QTest::qWaitFor(until, timeoutMs);
    ticker.stop();
    return std::max(0.0, double(worst) / 1e6 - 2.0);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString database = benchDatabasePath();

    QTemporaryDir home;
    linkDatabase(database, home.path());
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/share")).toUtf8());

    ScriptedServer server;
    PairingClient client;
    client.setApiBase(server.baseUrl());
    client.setPollInterval(20ms);

    const double idle = longestStallMs([] { return false; }, 1500);

    client.begin();
    const double starting = longestStallMs([&] { return client.step() == PairingClient::Step::scan(); }, 120000);
    server.enqueue(QStringLiteral("vellora-pair-poll"), {200, R"({"status":"claimed"})"});
    if (!QTest::qWaitFor([&] { return client.step() == PairingClient::Step::pick(); }, 5000)) {
        std::fprintf(stderr, "the session never reached the picker: %s\n", qPrintable(client.step().toString()));
        return 1;
    }

    const auto &list = client.conversations();
    const Conversation longest = *std::max_element(list.begin(), list.end(), [](const auto &a, const auto &b) {
        return a.messageCount < b.messageCount;
    });
    client.choose(longest);
    server.setDefault(QStringLiteral("vellora-pair-poll"), {200, R"({"upload_id":"bench"})"});
    const double uploading = longestStallMs([&] { return client.step() == PairingClient::Step::done(); }, 120000);

    // The same work done synchronously: what the window would freeze for.
    QElapsedTimer timer;
    timer.start();
    {
        const ChatDatabase snapshot(ChatDatabase::standardSourcePath());
        snapshot.loadConversations([](const QString &) { return std::optional<QString>(); });
    }
    const double listingInline = double(timer.nsecsElapsed()) / 1e6;
    timer.restart();
    {
        const ChatDatabase snapshot(ChatDatabase::standardSourcePath());
        Transcript::build(snapshot.loadMessages(longest), longest.displayName);
    }
    const double uploadInline = double(timer.nsecsElapsed()) / 1e6;

    std::printf("main-thread stall (goal < 50 ms), %lld conversations, upload of %lld messages\n",
                qint64(list.size()), longest.messageCount);
    std::printf("  %-34s %9.1f ms   floor (idle event loop) %6.1f ms   same work inline %8.1f ms\n",
                "startSession()", starting, idle, listingInline);
    std::printf("  %-34s %9.1f ms   floor (idle event loop) %6.1f ms   same work inline %8.1f ms\n",
                "upload()", uploading, idle, uploadInline);
    return client.step() == PairingClient::Step::done() ? 0 : 1;
}
