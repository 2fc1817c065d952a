// The transcript of a long conversation: its build time must grow linearly with the number of
// messages and stay small beside the time it takes to load them.
#include "BenchData.h"
#include "ChatDatabase.h"
#include "Transcript.h"

#include <QElapsedTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {
// The long conversation of the shared benchmark database, as the upload loads it.
QList<ChatMessage> loadLongConversation(Conversation &partner)
{
    const ChatDatabase snapshot(benchDatabasePath());
    const QList<Conversation> all = snapshot.loadConversations([](const QString &) { return std::nullopt; });
    partner = *std::max_element(all.begin(), all.end(), [](const Conversation &a, const Conversation &b) {
        return a.messageCount < b.messageCount;
    });
    return snapshot.loadMessages(partner);
}

double bestMillis(const std::function<void()> &work, int runs = 3)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        best = std::min(best, double(timer.nsecsElapsed()) / 1e6);
    }
    return best;
}

double peakResidentMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
#ifdef Q_OS_DARWIN
    return double(usage.ru_maxrss) / (1024.0 * 1024.0);  // bytes
#else
    return double(usage.ru_maxrss) / 1024.0;  // KiB
#endif
}
} // namespace

int main()
{
    QList<ChatMessage> messages;
    Conversation conversation;
    const double loadMs = bestMillis([&] { messages = loadLongConversation(conversation); }, 1);
    const QString partner = conversation.displayName;
    const qsizetype longConversation = messages.size();
    DateFmt::stampFormatter();  // made once per process, not part of a build
    const double peakLoadedMiB = peakResidentMiB();
    const QString transcript = Transcript::build(messages, partner);
    const double peakBuiltMiB = peakResidentMiB();

    std::printf("transcript build, by length (per message constant: linear):\n");
    double fullMs = 0;
    for (qsizetype count : {longConversation / 4, longConversation / 2, longConversation}) {
        const QList<ChatMessage> part = messages.first(count);
        const double ms = bestMillis([&] { Transcript::build(part, partner); });
        std::printf("  %7lld messages: %7.1f ms  %6.0f ns per message\n", qlonglong(count), ms, ms * 1e6 / double(count));
        fullMs = ms;
    }
    const double joinMs = bestMillis([&] {
        QString all;
        for (const ChatMessage &message : messages)
            all += message.text;
    });
    std::printf("%lld messages: transcript %.1f ms; floor: loading them from a snapshot %.1f ms, joining their texts alone %.1f ms\n",
                qlonglong(messages.size()), fullMs, loadMs, joinMs);
    std::printf("memory: transcript %.1f MiB; peak resident %.1f MiB with the messages loaded, %.1f MiB after one build\n",
                double(transcript.size() * qsizetype(sizeof(QChar))) / 1048576.0, peakLoadedMiB, peakBuiltMiB);
    return 0;
}
