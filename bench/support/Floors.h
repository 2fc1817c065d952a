#pragma once

#include "Measure.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

struct sqlite3;

// What the benchmarks of the database reader measure themselves against: the reader's own
// statements stepped bare through the SQLite C API, and cp of the database files.
constexpr int rounds = 5;

struct Candidate {
    std::function<void()> work;
    std::function<void()> prepare = [] {}; // untimed, before each round
};

// Runs the candidates in turns, so that cache warmth and machine load fall on all alike,
// and keeps each one's median time and its largest peak.
QList<Sample> compete(const QList<Candidate> &candidates);
// One line: our figure, the floor's, their ratio against the target.
void report(const char *what, const Sample &ours, const char *floorName, const Sample &floor, double target);

sqlite3 *openBare(const QString &path, const char *pragma = nullptr);  // read-only; throws
void listBare(sqlite3 *db);  // the listing's two statements
void loadBare(sqlite3 *db, const QList<qint64> &chatIds);  // the loading statement
// chat.db with the -wal and -shm files beside it, when present.
QStringList databaseFiles(const QString &chatDb);
int runCp(const QStringList &files, const QString &to);  // the exit status of cp
