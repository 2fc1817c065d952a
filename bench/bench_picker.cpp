// The conversation picker with 100,000 conversations: one keystroke in the search field until
// the list is filtered, laid out and repainted, and the longest paint while the list scrolls
// through all of them. Beside them: a 16 ms frame and, as the floor, a repaint of the same
// window with nothing changed.
#include "ContentView.h"
#include "Measure.h"
#include "Picker.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int conversationCount = 100000;

QList<Conversation> makeConversations()
{
    static const char *const first[] = {"Anna", "Ben", "Chloé", "Dmitri", "Ewa", "Farah", "Grace", "Hannah",
                                        "Ivan", "Joanne", "Kenji", "Lena", "Mateo", "Nora", "Oskar", "Priya"};
    static const char *const last[] = {"Smith", "Okafor", "Martin", "Ivanova", "Nowak", "Haddad", "Lee",
                                       "Brennan", "Petrov", "Annand", "Sato", "Fischer", "García", "Berg"};
    QList<Conversation> result;
    result.reserve(conversationCount);
    for (int i = 0; i < conversationCount; ++i) {
        const QString name = QString::fromUtf8(first[i % 16]) + QLatin1Char(' ') + QString::fromUtf8(last[(i / 16) % 14]);
        Conversation c;
        c.handle = i % 3 == 0 ? QStringLiteral("%1.%2@example.com").arg(name.section(u' ', 0, 0).toLower()).arg(i)
                              : QStringLiteral("+1555%1").arg(i, 7, 10, QLatin1Char('0'));
        // A third without a contact card: the handle is the name.
        c.displayName = i % 3 == 1 ? c.handle : name;
        c.chatRowIds = {i + 1};
        c.messageCount = 1 + (i * 37) % 5000;
        c.lastMessageDate = 760000000.0 - i * 600.0;
        c.firstMessageDate = *c.lastMessageDate - 86400.0 * 365;
        result.append(c);
    }
    return result;
}

double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

struct Stats {
    double median = 0;
    double worst = 0;
};

Stats stats(const QList<double> &samples)
{
    return {percentile(samples, 50), percentile(samples, 100)};
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ContentView::applyDarkLook(app);

    Picker picker;
    picker.resize(520, 700);
    picker.show();
    QCoreApplication::processEvents();

    const QList<Conversation> conversations = makeConversations();
    const Sample loaded = measure([&] {
        picker.setConversations(conversations);
        QCoreApplication::processEvents();
    });

    auto *search = picker.findChild<QLineEdit *>(QStringLiteral("search"));
    ConversationList *list = picker.list();
    const auto settle = [&] {
        QCoreApplication::processEvents();  // the list's delayed layout
        picker.repaint();
    };
    settle();

    QList<double> idle;
    QList<double> keystrokes;
    QElapsedTimer timer;
    // Type a name and a number, then take them back, a key at a time.
    const QList<Qt::Key> keys{Qt::Key_A, Qt::Key_N, Qt::Key_N, Qt::Key_Backspace, Qt::Key_Backspace,
                              Qt::Key_Backspace, Qt::Key_5, Qt::Key_5, Qt::Key_5, Qt::Key_0, Qt::Key_4,
                              Qt::Key_Backspace, Qt::Key_Backspace, Qt::Key_Backspace, Qt::Key_Backspace,
                              Qt::Key_Backspace};
    for (int round = 0; round < 5; ++round) {
        for (Qt::Key key : keys) {
            timer.start();
            settle();
            idle << msSince(timer);

            timer.start();
            QTest::keyClick(search, key, Qt::NoModifier);
            settle();
            keystrokes << msSince(timer);
        }
    }
    if (!search->text().isEmpty() || list->model()->rowCount() != conversationCount) {
        std::fprintf(stderr, "the search did not return to the whole list\n");
        return 1;
    }

    // The filter alone, on a model with no view.
    ConversationListModel model;
    model.setConversations(conversations);
    QList<double> filters;
    for (int round = 0; round < 5; ++round) {
        for (const char *query : {"a", "an", "ann", "an", "a", "", "5", "55", "555", "5550", "55504", "5550",
                                  "555", "55", "5", ""}) {
            timer.start();
            model.setQuery(QString::fromLatin1(query));
            filters << msSince(timer);
        }
    }

    // Scroll through every row a page at a time, each page painted at once.
    QList<double> paints;
    QScrollBar *bar = list->verticalScrollBar();
    const int page = list->viewport()->height();
    for (int value = 0; value <= bar->maximum(); value += page) {
        bar->setValue(value);
        timer.start();
        list->viewport()->repaint();
        paints << msSince(timer);
    }

    const Stats key = stats(keystrokes);
    const Stats still = stats(idle);
    const Stats scroll = stats(paints);
    const Stats filter = stats(filters);
    std::printf("conversation picker, %d conversations (target: keystroke to repainted list <= 8 ms)\n",
                conversationCount);
    std::printf("  %-34s %9.1f ms   peak %6.1f MiB\n", "setConversations (lower-case once)", loaded.ms,
                loaded.peakMiB);
    std::printf("  %-34s median %6.2f ms   worst %6.2f ms   frame 16.0 ms   floor (repaint, no change) median %5.2f worst %5.2f ms\n",
                "keystroke -> filtered, repainted", key.median, key.worst, still.median, still.worst);
    std::printf("  %-34s median %6.2f ms   worst %6.2f ms\n", "of which the filter alone", filter.median,
                filter.worst);
    std::printf("  %-34s median %6.2f ms   worst %6.2f ms   frame 16.0 ms   (%lld pages)\n",
                "list paint while scrolling", scroll.median, scroll.worst, qint64(paints.size()));
    return 0;
}
