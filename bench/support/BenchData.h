#pragma once

#include "SampleDatabase.h"

#include <QString>

// The big generated Messages database that the benchmarks share: 1,000,000 messages,
// 5,000 one-to-one chats, 50 group chats and one partner with 200,000 messages.
// Generated once per option set under the build folder (bench-data/<options>/) and reused.
// Open it read-only or copy it: a read-write connection (the sqlite3 shell's included)
// checkpoints chat.db-wal into chat.db on close, and the rows kept there are part of the test.
SampleOptions benchOptions();

struct BenchData {
    QString chatDbPath;
    SampleSummary summary;
};

// Generates on first use (a few seconds, reported on stderr); throws std::runtime_error.
const BenchData &benchData();
inline QString benchDatabasePath() { return benchData().chatDbPath; }

// Links the database's files into HOME/Library/Messages, where the importer looks.
void linkDatabase(const QString &source, const QString &home);
