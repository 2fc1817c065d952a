#pragma once

#include <QList>
#include <QString>

// A realistic Messages history for demos, tests and benchmarks, the same for the same options.
struct SampleOptions {
    quint64 seed = 1;
    int handles = 120;          // people; a few more handle rows are added (see SampleSummary)
    int directChats = 100;      // one-to-one chats, at most one per person plus service twins
    int groupChats = 8;
    qint64 messages = 20'000;   // all message rows, the long conversation's included
    qint64 longConversationMessages = 2'000;
    qint64 walMessages = 40;    // written last and left in chat.db-wal only
    int secondsDatedPercent = 10; // people whose messages carry dates in seconds (older databases)
};

struct SampleHandle {
    qint64 rowId = 0;
    QString id;       // as in handle.id; empty for the empty-id and NULL-id rows
    QString service;  // "iMessage" or "SMS"
    QString name;     // a made-up full name for the person behind the handle
    bool nullId = false;
};

struct SampleSummary {
    QList<SampleHandle> handles;  // every handle row, in ROWID order
    QString longPartner;          // handle.id of the long conversation's partner
    QList<qint64> longChatIds;    // that partner's one-to-one chats (two services)
    qint64 longMessages = 0;      // message rows in those chats
    qint64 messages = 0;          // message rows written
    qint64 walMessages = 0;       // of which only in chat.db-wal
    int directChats = 0;
    int groupChats = 0;
    QString walOnlyPartner;       // a partner whose chat and messages exist only in the -wal file
};

// Writes chat.db (with chat.db-wal and chat.db-shm) at the path, replacing what is there.
// Throws std::runtime_error when SQLite fails or the options cannot be met.
SampleSummary writeSampleDatabase(const QString &chatDbPath, const SampleOptions &options);
