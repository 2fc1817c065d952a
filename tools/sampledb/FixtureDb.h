#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

struct sqlite3;
struct sqlite3_stmt;

// Writes a Messages database with the real application's tables, columns and indexes
// (in WAL mode), row by row, so tests and the sample generator build exactly what they need.
class FixtureDb {
public:
    // Creates the file (and missing folders) with the schema; throws std::runtime_error.
    explicit FixtureDb(const QString &path);
    ~FixtureDb();
    FixtureDb(const FixtureDb &) = delete;
    FixtureDb &operator=(const FixtureDb &) = delete;

    // A NULL id is written when `id` is empty and `nullId` is true.
    qint64 addHandle(const QString &id, const QString &service = QStringLiteral("iMessage"),
                     bool nullId = false);
    qint64 addChat(const QList<qint64> &handleRowIds, const QString &service = QStringLiteral("iMessage"));
    qint64 addMessage(qint64 chatId, qint64 rawDate, bool fromMe, const std::optional<QString> &text,
                      const std::optional<QByteArray> &attributedBody = std::nullopt,
                      qint64 handleRowId = 0);

    void begin();   // batch inserts in one transaction
    void commit();
    // Large fixtures: drop the secondary indexes while rows go in, build them once at the end.
    void beginBulkLoad();
    void endBulkLoad();
    // Checkpoints nothing further: rows written after this stay in the -wal file only.
    void keepWal();
    void close();

    sqlite3 *handle() const { return m_db; }

    // Damages the database at `path` (closed, its -wal folded in first): the middle leaf page of
    // the table or index `btree` is overwritten with bytes no b-tree page has, as a failing disk would.
    static void garbleLeaf(const QString &path, const QString &btree);

    // An attributedBody blob laid out as Messages writes it (typedstream archive of an
    // NSAttributedString), with the short, 0x81 or 0x82 length form the text needs.
    static QByteArray archiveBody(const QString &text);

private:
    struct Statements;
    void prepare(sqlite3_stmt **statement, const char *sql);
    void run(sqlite3_stmt *statement);

    sqlite3 *m_db = nullptr;
    std::unique_ptr<Statements> m_statements;
    QHash<qint64, QString> m_handles;      // ROWID -> id, to name one-to-one chats
    QHash<qint64, QString> m_chatServices; // ROWID -> service, stamped on each message
    qint64 m_chatCount = 0;
    qint64 m_messageCount = 0;
};
