// The Messages database reader against its floors, measured in the same run on the shared
// generated database: the listing and the long conversation's loading against their own
// statements stepped bare through the SQLite C API, the snapshot against cp of the same files.
// Peak memory as Measure.h says.
#include "BenchData.h"
#include "ChatDatabase.h"
#include "Floors.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

int main()
{
    try {
        const BenchData &data = benchData();
        QTemporaryDir tmp;
        qputenv("TMPDIR", QFile::encodeName(tmp.path()));
        const qint64 sizeMiB = (QFileInfo(data.chatDbPath).size() + QFileInfo(data.chatDbPath + u"-wal"_qs).size())
            / (1024 * 1024);
        std::printf("database: %s (%lld MiB with -wal), %lld messages, %d one-to-one and %d group chats, "
                    "long conversation %lld messages; median of %d rounds\n",
                    qPrintable(data.chatDbPath), qlonglong(sizeMiB), qlonglong(data.summary.messages),
                    data.summary.directChats, data.summary.groupChats, qlonglong(data.summary.longMessages), rounds);

        // Snapshot: copy and open, against cp of the same three files.
        const QStringList files = databaseFiles(data.chatDbPath);
        const QString cpTarget = tmp.path() + u"/cp"_qs;
        std::unique_ptr<ChatDatabase> made;
        const QList<Sample> snapshot = compete({
            {[&] { made = std::make_unique<ChatDatabase>(data.chatDbPath); }, [&] { made.reset(); }},
            {[&] {
                 if (runCp(files, cpTarget) != 0)
                     throw std::runtime_error("cp failed");
             },
             [&] {
                 QDir(cpTarget).removeRecursively();
                 QDir().mkpath(cpTarget);
             }},
        });
        report("snapshot (copy + open)", snapshot[0], "cp of the same files", snapshot[1], 1.2);
        QDir(cpTarget).removeRecursively();

        // Listing, on the snapshot, against its two statements on a default connection.
        const ChatDatabase &db = *made;
        const QString copy = db.snapshotDir() + u"/chat.db"_qs;
        sqlite3 *bare = openBare(copy);
        sqlite3 *mapped = openBare(copy, "PRAGMA mmap_size = 2147418112");
        sqlite3 *cached = openBare(copy, "PRAGMA cache_size = -262144");
        QList<Conversation> conversations;
        const QList<Sample> listing = compete({
            {[&] { conversations = db.loadConversations([](const QString &) { return std::nullopt; }); }},
            {[&] { listBare(bare); }},
            {[&] { listBare(mapped); }},
            {[&] { listBare(cached); }},
        });
        report("listing conversations", listing[0], "bare statements", listing[1], 1.3);
        report("  (bare, mmap_size 2 GiB)", listing[2], "bare statements", listing[1], 1.3);
        report("  (bare, cache_size 256 MiB)", listing[3], "bare statements", listing[1], 1.3);
        std::printf("  %lld conversations listed\n", qlonglong(conversations.size()));

        // Loading the long conversation, with its attributed bodies.
        const auto partner = std::find_if(conversations.begin(), conversations.end(), [&](const Conversation &c) {
            return c.handle == data.summary.longPartner;
        });
        if (partner == conversations.end())
            throw std::runtime_error("the long conversation is not listed");
        qsizetype loadedCount = 0;
        const QList<Sample> loading = compete({
            {[&] { loadedCount = db.loadMessages(*partner).size(); }},
            {[&] { loadBare(bare, partner->chatRowIds); }},
            {[&] { loadBare(mapped, partner->chatRowIds); }},
        });
        report("loading the long conversation", loading[0], "bare statement", loading[1], 1.5);
        report("  (bare, mmap_size 2 GiB)", loading[2], "bare statement", loading[1], 1.5);
        std::printf("  %lld of %lld rows kept as messages: %.0f messages/s (floor %.0f rows/s)\n",
                    qlonglong(loadedCount), qlonglong(partner->messageCount),
                    double(loadedCount) / (loading[0].ms / 1000.0),
                    double(partner->messageCount) / (loading[1].ms / 1000.0));

        for (sqlite3 *c : {bare, mapped, cached})
            sqlite3_close(c);
        made.reset();
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_database: %s\n", e.what());
        return 1;
    }
}
