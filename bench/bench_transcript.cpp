// The transcript of the long conversation of the shared benchmark database: its build time
// must grow linearly with the number of messages and stay small beside loading them.
#include "BenchData.h"
#include "ChatDatabase.h"
#include "Measure.h"
#include "Transcript.h"

#include <algorithm>
#include <cstdio>

namespace {
double bestMillis(const std::function<void()> &work, int runs = 3)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i)
        best = std::min(best, measure(work).ms);
    return best;
}
} // namespace

int main()
{
    const ChatDatabase snapshot(benchDatabasePath());
    const QList<Conversation> all = snapshot.loadConversations([](const QString &) { return std::nullopt; });
    const Conversation partner = *std::max_element(all.begin(), all.end(), [](const auto &a, const auto &b) {
        return a.messageCount < b.messageCount;
    });
    DateFmt::stampFormatter();  // made once per process, not part of a build

    QList<ChatMessage> messages;
    const Sample loading = measure([&] { messages = snapshot.loadMessages(partner); });
    QString transcript;
    const Sample building = measure([&] { transcript = Transcript::build(messages, partner.displayName); });

    std::printf("transcript build by length (constant time per message: linear):\n");
    for (qsizetype count : {messages.size() / 4, messages.size() / 2, messages.size()}) {
        const QList<ChatMessage> part = messages.first(count);
        const double ms = bestMillis([&] { Transcript::build(part, partner.displayName); });
        std::printf("  %7lld messages %8.1f ms %6.0f ns per message\n", qlonglong(count), ms, ms * 1e6 / double(count));
    }
    std::printf("%-28s %8.1f ms  peak %+7.1f MiB | loading those messages %8.1f ms  peak %+7.1f MiB\n",
                "transcript of the long one", building.ms, building.peakMiB, loading.ms, loading.peakMiB);
    std::printf("  %lld messages, transcript %.1f MiB (UTF-16)\n", qlonglong(messages.size()),
                double(transcript.size()) * 2.0 / 1048576.0);
    return 0;
}
