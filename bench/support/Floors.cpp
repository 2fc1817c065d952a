// The floors the database benchmarks share; see Floors.h.
#include "Floors.h"

#include <QFile>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace {

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

} // namespace

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
                " | ratio %.2f (target <= %.2f) %s\n",
                what, ours.ms, ours.peakMiB, ours.fileMiB, floorName, floor.ms, floor.peakMiB, floor.fileMiB, ratio,
                target, ratio <= target ? "ok" : "MISSED");
}

sqlite3 *openBare(const QString &path, const char *pragma)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        throw std::runtime_error("cannot open the snapshot");
    if (pragma)
        sqlite3_exec(db, pragma, nullptr, nullptr, nullptr);
    return db;
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

QStringList databaseFiles(const QString &chatDb)
{
    QStringList files{chatDb};
    for (const char *suffix : {"-wal", "-shm"}) {
        if (QFile::exists(chatDb + QLatin1String(suffix)))
            files.append(chatDb + QLatin1String(suffix));
    }
    return files;
}
