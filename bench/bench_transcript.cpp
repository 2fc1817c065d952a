// The transcript of a long conversation: its build time must grow linearly with the number of
// messages and stay small beside the time it takes to load them.
#include "Transcript.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {
constexpr qsizetype longConversation = 200'000;

// A conversation shaped like a real one: short and long texts, some on several lines, emoji,
// both directions, a few undated messages, minutes to hours apart.
QList<ChatMessage> syntheticConversation(qsizetype count)
{
    static const QString words[] = {
        QStringLiteral("ok"), QStringLiteral("see you"), QStringLiteral("\u2764\ufe0f"),
        QStringLiteral("on my way"), QStringLiteral("did you get the tickets?"),
        QStringLiteral("Caf\u00e9 at 8"), QStringLiteral("haha"), QStringLiteral("\U0001F602"),
        QStringLiteral("call me when you're free"), QStringLiteral("\n")};
    QRandomGenerator random(2024);
    QList<ChatMessage> messages;
    messages.reserve(count);
    RefDate date = 600'000'000;
    for (qsizetype i = 0; i < count; ++i) {
        date += random.bounded(1, 4 * 3600);
        QString text;
        for (int n = random.bounded(1, 12); n > 0; --n)
            text += words[random.bounded(int(std::size(words)))] + u' ';
        const bool dated = random.bounded(50) != 0;
        messages.append(ChatMessage{dated ? std::optional<RefDate>(date) : std::nullopt,
                                    random.bounded(2) == 0, text.trimmed()});
    }
    return messages;
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
    const double loadMs = bestMillis([&] { messages = syntheticConversation(longConversation); });
    const QString partner = QStringLiteral("Jos\u00e9 \u00c1lvarez");
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
    std::printf("%lld messages: transcript %.1f ms; floors: loading them %.1f ms, joining their texts alone %.1f ms\n",
                qlonglong(messages.size()), fullMs, loadMs, joinMs);
    std::printf("memory: transcript %.1f MiB; peak resident %.1f MiB with the messages loaded, %.1f MiB after one build\n",
                double(transcript.size() * qsizetype(sizeof(QChar))) / 1048576.0, peakLoadedMiB, peakBuiltMiB);
    return 0;
}
