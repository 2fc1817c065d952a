// The Messages database reader against its floors, measured in the same run on the shared
// generated database: the listing and the long conversation's loading against their own
// statements stepped bare through the SQLite C API, the snapshot against cp of the same files.
// Peak memory as Measure.h says.
#include "BenchData.h"
#include "ChatDatabase.h"
#include "Measure.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>

#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace {

constexpr int rounds = 5;

const char *const handleStatement = "SELECT chj.chat_id, h.id\n"
                                    "FROM chat_handle_join chj\n"
                                    "JOIN handle h ON h.ROWID = chj.handle_id\n"
                                    "WHERE chj.chat_id IN (\n"
                                    "  SELECT chat_id FROM chat_handle_join GROUP BY chat_id HAVING COUNT(*) = 1\n"
                                    ")";
const char *const statsStatement = "SELECT cmj.chat_id, COUNT(*), MIN(m.date), MAX(m.date)\n"
                                   "FROM chat_message_join cmj\n"
                                   "JOIN message m ON m.ROWID = cmj.message_id\n"
                                   "GROUP BY cmj.chat_id";

volatile qint64 g_sink = 0; // keeps the floors' column reads from being optimised away

struct Candidate {
    std::function<void()> work;
    std::function<void()> prepare = [] {}; // untimed, before each round
};

// Runs the candidates in turns, so that cache warmth and machine load fall on all alike,
// and keeps each one's median time and its largest peak.
QList<Sample> compete(const QList<Candidate> &candidates)
{
    QList<QList<Sample>> runs(candidates.size());
    for (int r = 0; r < rounds; ++r) {
        for (qsizetype i = 0; i < candidates.size(); ++i) {
            candidates[i].prepare();
            runs[i].append(measure(candidates[i].work));
        }
    }
    QList<Sample> result;
    for (QList<Sample> &samples : runs) {
        std::sort(samples.begin(), samples.end(), [](const Sample &a, const Sample &b) { return a.ms < b.ms; });
        Sample worst{samples[samples.size() / 2].ms};
        for (const Sample &s : samples) {
            worst.peakMiB = std::max(worst.peakMiB, s.peakMiB);
            worst.fileMiB = std::max(worst.fileMiB, s.fileMiB);
        }
        result.append(worst);
    }
    return result;
}

void report(const char *what, const Sample &ours, const char *floorName, const Sample &floor, double target)
{
    const double ratio = ours.ms / floor.ms;
    std::printf("%-30s %8.1f ms  peak %+6.1f MiB (file %+6.1f) | %-21s %8.1f ms  peak %+6.1f MiB (file %+6.1f)"
                " | ratio %.2f (target <= %.1f) %s\n",
                what, ours.ms, ours.peakMiB, ours.fileMiB, floorName, floor.ms, floor.peakMiB, floor.fileMiB, ratio,
                target, ratio <= target ? "ok" : "MISSED");
}

sqlite3 *openBare(const QString &path, const char *pragma = nullptr)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        throw std::runtime_error("cannot open the snapshot");
    if (pragma)
        sqlite3_exec(db, pragma, nullptr, nullptr, nullptr);
    return db;
}

template <typename ReadRow> void stepBare(sqlite3 *db, const char *sql, const QList<qint64> &binds, ReadRow readRow)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
    for (qsizetype i = 0; i < binds.size(); ++i)
        sqlite3_bind_int64(stmt, int(i + 1), binds[i]);
    qint64 sink = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW)
        sink += readRow(stmt);
    sqlite3_finalize(stmt);
    g_sink = g_sink + sink;
}

void listBare(sqlite3 *db)
{
    stepBare(db, handleStatement, {}, [](sqlite3_stmt *s) {
        return sqlite3_column_int64(s, 0) + qint64(sqlite3_column_text(s, 1) != nullptr);
    });
    stepBare(db, statsStatement, {}, [](sqlite3_stmt *s) {
        return sqlite3_column_int64(s, 0) + sqlite3_column_int64(s, 1) + sqlite3_column_int64(s, 2)
            + sqlite3_column_int64(s, 3);
    });
}

void loadBare(sqlite3 *db, const QList<qint64> &chatIds)
{
    QByteArray sql("SELECT m.date, m.is_from_me, m.text, m.attributedBody\n"
                   "FROM message m\n"
                   "JOIN chat_message_join cmj ON cmj.message_id = m.ROWID\n"
                   "WHERE cmj.chat_id IN (");
    for (qsizetype i = 0; i < chatIds.size(); ++i)
        sql.append(i ? ",?" : "?");
    sql.append(")\nORDER BY m.date ASC");
    stepBare(db, sql.constData(), chatIds, [](sqlite3_stmt *s) {
        const qint64 head = sqlite3_column_int64(s, 0) + sqlite3_column_int64(s, 1);
        const bool text = sqlite3_column_text(s, 2) != nullptr;
        const qint64 textBytes = sqlite3_column_bytes(s, 2);
        const bool blob = sqlite3_column_blob(s, 3) != nullptr;
        return head + textBytes + qint64(text) + qint64(blob) + sqlite3_column_bytes(s, 3);
    });
}

int runCp(const QStringList &files, const QString &to)
{
    QList<QByteArray> args{"cp"};
    for (const QString &f : files)
        args.append(QFile::encodeName(f));
    args.append(QFile::encodeName(to));
    QList<char *> argv;
    for (QByteArray &a : args)
        argv.append(a.data());
    argv.append(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "cp", nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

} // namespace

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
        QStringList files{data.chatDbPath};
        for (const char *suffix : {"-wal", "-shm"}) {
            if (QFile::exists(data.chatDbPath + QLatin1String(suffix)))
                files.append(data.chatDbPath + QLatin1String(suffix));
        }
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
