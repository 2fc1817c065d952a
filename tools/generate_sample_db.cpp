// Writes a made-up Messages database (chat.db with its -wal and -shm files) for demos,
// manual testing and benchmarks.
#include "SampleContacts.h"
#include "SampleDatabase.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <exception>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vellora-sample-db"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Writes a sample Messages database."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("chat.db"), QStringLiteral("Database file to write (replaced)."));
    const SampleOptions defaults;
    const auto option = [&](const char *name, const char *help, qint64 value) {
        QCommandLineOption o(QString::fromLatin1(name), QString::fromLatin1(help), QStringLiteral("n"),
                             QString::number(value));
        parser.addOption(o);
        return o;
    };
    const auto seed = option("seed", "Random seed; the same seed writes the same database.", qint64(defaults.seed));
    const auto handles = option("handles", "People (handle rows, besides twins).", defaults.handles);
    const auto direct = option("direct-chats", "One-to-one chats.", defaults.directChats);
    const auto groups = option("group-chats", "Group chats.", defaults.groupChats);
    const auto messages = option("messages", "Message rows in all.", defaults.messages);
    const auto longMessages = option("long-messages", "Messages with the long conversation's partner.",
                                     defaults.longConversationMessages);
    const auto walMessages = option("wal-messages", "Newest messages, left in chat.db-wal.", defaults.walMessages);
    const QCommandLineOption contacts(QStringLiteral("contacts"),
                                      QStringLiteral("vCard file naming most handles (default: contacts.vcf beside chat.db)."),
                                      QStringLiteral("file"));
    parser.addOption(contacts);
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(1);

    SampleOptions o;
    o.seed = parser.value(seed).toULongLong();
    o.handles = parser.value(handles).toInt();
    o.directChats = parser.value(direct).toInt();
    o.groupChats = parser.value(groups).toInt();
    o.messages = parser.value(messages).toLongLong();
    o.longConversationMessages = parser.value(longMessages).toLongLong();
    o.walMessages = parser.value(walMessages).toLongLong();
    try {
        QElapsedTimer timer;
        timer.start();
        const QString chatDb = parser.positionalArguments().first();
        const SampleSummary s = writeSampleDatabase(chatDb, o);
        QStringList ids;
        for (const SampleHandle &handle : s.handles) {
            if (!handle.id.isEmpty() && !ids.contains(handle.id))
                ids.append(handle.id);
        }
        const QString vcf = parser.isSet(contacts) ? parser.value(contacts)
                                                   : QFileInfo(chatDb).dir().filePath(QStringLiteral("contacts.vcf"));
        writeSampleContacts(vcf, ids, o.seed);
        std::printf("%lld messages (%lld only in -wal), %lld handle rows, %d one-to-one and %d group chats in %.1f s\n"
                    "long conversation: %s, %lld messages\ncontacts: %s\n",
                    qlonglong(s.messages), qlonglong(s.walMessages), qlonglong(s.handles.size()), s.directChats, s.groupChats,
                    double(timer.elapsed()) / 1000.0, qPrintable(s.longPartner), qlonglong(s.longMessages), qPrintable(vcf));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vellora-sample-db: %s\n", e.what());
        return 1;
    }
    return 0;
}
