#include "FixtureDb.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtNumeric>

#include <sqlite3.h>

#include <array>
#include <cstdio>
#include <stdexcept>

namespace {

// The tables Messages keeps (macOS 13/14 layout), trimmed of nothing the reader might meet.
// Two deliberate differences: handle.id may be NULL here (so the reader's NULL path can be
// exercised; Messages declares it NOT NULL), and only the plain-SQL triggers are kept: those
// whose bodies call functions that only the Messages process registers (such as
// delete_attachment_path on attachment deletion) would make any write that fires them fail.
constexpr const char *schema = R"sql(
CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));
CREATE TABLE deleted_messages (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid TEXT NOT NULL);
CREATE TABLE sync_deleted_messages (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid TEXT NOT NULL, recordID TEXT);
CREATE TABLE sync_deleted_chats (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid TEXT NOT NULL, recordID TEXT, timestamp INTEGER);
CREATE TABLE sync_deleted_attachments (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid TEXT NOT NULL, recordID TEXT);
CREATE TABLE kvtable (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, key TEXT UNIQUE NOT NULL, value BLOB NOT NULL);
CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT, country TEXT,
  service TEXT NOT NULL, uncanonicalized_id TEXT, person_centric_id TEXT, UNIQUE (id, service));
CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, style INTEGER,
  state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT, service_name TEXT,
  room_name TEXT, account_login TEXT, is_archived INTEGER DEFAULT 0, last_addressed_handle TEXT,
  display_name TEXT, group_id TEXT, is_filtered INTEGER DEFAULT 0, successful_query INTEGER,
  engram_id TEXT, server_change_token TEXT, ck_sync_state INTEGER DEFAULT 0, original_group_id TEXT,
  last_read_message_timestamp INTEGER DEFAULT 0, cloudkit_record_id TEXT,
  last_addressed_sim_id TEXT, is_blackholed INTEGER DEFAULT 0, syndication_date INTEGER DEFAULT 0,
  syndication_type INTEGER DEFAULT 0, is_recovered INTEGER DEFAULT 0,
  is_deleting_incoming_messages INTEGER DEFAULT 0);
CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, text TEXT,
  replace INTEGER DEFAULT 0, service_center TEXT, handle_id INTEGER DEFAULT 0, subject TEXT,
  country TEXT, attributedBody BLOB, version INTEGER DEFAULT 0, type INTEGER DEFAULT 0, service TEXT,
  account TEXT, account_guid TEXT, error INTEGER DEFAULT 0, date INTEGER, date_read INTEGER,
  date_delivered INTEGER, is_delivered INTEGER DEFAULT 0, is_finished INTEGER DEFAULT 0,
  is_emote INTEGER DEFAULT 0, is_from_me INTEGER DEFAULT 0, is_empty INTEGER DEFAULT 0,
  is_delayed INTEGER DEFAULT 0, is_auto_reply INTEGER DEFAULT 0, is_prepared INTEGER DEFAULT 0,
  is_read INTEGER DEFAULT 0, is_system_message INTEGER DEFAULT 0, is_sent INTEGER DEFAULT 0,
  has_dd_results INTEGER DEFAULT 0, is_service_message INTEGER DEFAULT 0, is_forward INTEGER DEFAULT 0,
  was_downgraded INTEGER DEFAULT 0, is_archive INTEGER DEFAULT 0, cache_has_attachments INTEGER DEFAULT 0,
  cache_roomnames TEXT, was_data_detected INTEGER DEFAULT 0, was_deduplicated INTEGER DEFAULT 0,
  is_audio_message INTEGER DEFAULT 0, is_played INTEGER DEFAULT 0, date_played INTEGER,
  item_type INTEGER DEFAULT 0, other_handle INTEGER DEFAULT 0, group_title TEXT,
  group_action_type INTEGER DEFAULT 0, share_status INTEGER DEFAULT 0, share_direction INTEGER DEFAULT 0,
  is_expirable INTEGER DEFAULT 0, expire_state INTEGER DEFAULT 0, message_action_type INTEGER DEFAULT 0,
  message_source INTEGER DEFAULT 0, associated_message_guid TEXT, associated_message_type INTEGER DEFAULT 0,
  balloon_bundle_id TEXT, payload_data BLOB, expressive_send_style_id TEXT,
  associated_message_range_location INTEGER DEFAULT 0, associated_message_range_length INTEGER DEFAULT 0,
  time_expressive_send_played INTEGER, message_summary_info BLOB, ck_sync_state INTEGER DEFAULT 0,
  ck_record_id TEXT, ck_record_change_tag TEXT, destination_caller_id TEXT, is_corrupt INTEGER DEFAULT 0,
  reply_to_guid TEXT, sort_id INTEGER, is_spam INTEGER DEFAULT 0, has_unseen_mention INTEGER DEFAULT 0,
  thread_originator_guid TEXT, thread_originator_part TEXT, syndication_ranges TEXT,
  synced_syndication_ranges TEXT, was_delivered_quietly INTEGER DEFAULT 0,
  did_notify_recipient INTEGER DEFAULT 0, date_retracted INTEGER DEFAULT 0, date_edited INTEGER DEFAULT 0,
  was_detonated INTEGER DEFAULT 0, part_count INTEGER, is_stewie INTEGER DEFAULT 0,
  is_kt_verified INTEGER DEFAULT 0, is_sos INTEGER DEFAULT 0, is_critical INTEGER DEFAULT 0,
  bia_reference_id TEXT DEFAULT NULL, fallback_hash TEXT DEFAULT NULL);
CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid TEXT UNIQUE NOT NULL,
  created_date INTEGER DEFAULT 0, start_date INTEGER DEFAULT 0, filename TEXT, uti TEXT, mime_type TEXT,
  transfer_state INTEGER DEFAULT 0, is_outgoing INTEGER DEFAULT 0, user_info BLOB, transfer_name TEXT,
  total_bytes INTEGER DEFAULT 0, is_sticker INTEGER DEFAULT 0, sticker_user_info BLOB,
  attribution_info BLOB, hide_attachment INTEGER DEFAULT 0, ck_sync_state INTEGER DEFAULT 0,
  ck_server_change_token_blob BLOB, ck_record_id TEXT, original_guid TEXT UNIQUE NOT NULL,
  is_commsafety_sensitive INTEGER DEFAULT 0);
CREATE TABLE chat_handle_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE,
  handle_id INTEGER REFERENCES handle (ROWID) ON DELETE CASCADE, UNIQUE(chat_id, handle_id));
CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE,
  message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, message_date INTEGER DEFAULT 0,
  PRIMARY KEY (chat_id, message_id));
CREATE TABLE message_attachment_join (message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE,
  attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE CASCADE, UNIQUE(message_id, attachment_id));
CREATE TABLE chat_recoverable_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE,
  message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, delete_date INTEGER,
  ck_sync_state INTEGER DEFAULT 0, PRIMARY KEY (chat_id, message_id));
CREATE TRIGGER update_message_date_after_update_on_message AFTER UPDATE OF date ON message
BEGIN
  UPDATE chat_message_join SET message_date = NEW.date WHERE message_id = NEW.ROWID AND message_date != NEW.date;
END;
CREATE TRIGGER after_delete_on_chat_handle_join AFTER DELETE ON chat_handle_join
BEGIN
  DELETE FROM handle WHERE handle.ROWID = OLD.handle_id
    AND (SELECT 1 FROM chat_handle_join WHERE handle_id = OLD.handle_id LIMIT 1) IS NULL
    AND (SELECT 1 FROM message WHERE handle_id = OLD.handle_id LIMIT 1) IS NULL
    AND (SELECT 1 FROM message WHERE other_handle = OLD.handle_id LIMIT 1) IS NULL;
END;
CREATE TRIGGER after_delete_on_message_attachment_join AFTER DELETE ON message_attachment_join
BEGIN
  DELETE FROM attachment WHERE attachment.ROWID = OLD.attachment_id
    AND (SELECT 1 FROM message_attachment_join WHERE attachment_id = OLD.attachment_id LIMIT 1) IS NULL;
END;
INSERT INTO _SqliteDatabaseProperties (key, value) VALUES ('_ClientVersion', '17002');
INSERT INTO _SqliteDatabaseProperties (key, value) VALUES ('counter_in_all', '0');
)sql";

// Secondary indexes, apart so that a bulk load can build them once at the end.
constexpr std::array<const char *, 20> indexes{
    "CREATE INDEX message_idx_is_read ON message(is_read, is_from_me, is_finished)",
    "CREATE INDEX message_idx_failed ON message(is_finished, is_from_me, error)",
    "CREATE INDEX message_idx_handle ON message(handle_id, date)",
    "CREATE INDEX message_idx_handle_id ON message(handle_id)",
    "CREATE INDEX message_idx_date ON message(date)",
    "CREATE INDEX message_idx_associated_message ON message(associated_message_guid)",
    "CREATE INDEX message_idx_thread_originator_guid ON message(thread_originator_guid)",
    "CREATE INDEX message_idx_expire_state ON message(expire_state)",
    "CREATE INDEX message_idx_other_handle ON message(other_handle)",
    "CREATE INDEX message_idx_cache_has_attachments ON message(cache_has_attachments)",
    "CREATE INDEX message_idx_was_downgraded ON message(was_downgraded)",
    "CREATE INDEX chat_idx_chat_identifier ON chat(chat_identifier)",
    "CREATE INDEX chat_idx_chat_identifier_service_name ON chat(chat_identifier, service_name)",
    "CREATE INDEX chat_idx_chat_room_name_service_name ON chat(room_name, service_name)",
    "CREATE INDEX chat_idx_is_archived ON chat(is_archived)",
    "CREATE INDEX chat_handle_join_idx_handle_id ON chat_handle_join(handle_id)",
    "CREATE INDEX chat_message_join_idx_message_id_only ON chat_message_join(message_id)",
    "CREATE INDEX chat_message_join_idx_message_date_id_chat_id ON chat_message_join(chat_id, message_date, message_id)",
    "CREATE INDEX message_attachment_join_idx_message_id ON message_attachment_join(message_id)",
    "CREATE INDEX attachment_idx_purged_attachments_v2 ON attachment(hide_attachment, ck_sync_state, transfer_state)"
    " WHERE hide_attachment = 0 AND (ck_sync_state = 1 OR ck_sync_state = 4) AND transfer_state = 0",
};

[[noreturn]] void fail(sqlite3 *db, const char *what)
{
    throw std::runtime_error(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "no connection"));
}

void exec(sqlite3 *db, const char *sql)
{
    char *err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string message = err ? err : "unknown error";
        sqlite3_free(err);
        throw std::runtime_error(std::string("sqlite: ") + message + " in: " + std::string(sql).substr(0, 80));
    }
}

// Deterministic GUIDs shaped like the upper-case UUIDs Messages stores.
struct Guid {
    char text[37];
};

Guid guidFor(char kind, qint64 n)
{
    quint64 x = quint64(n) * 0x9E3779B97F4A7C15ULL + quint64(kind);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 29;
    Guid g;
    std::snprintf(g.text, sizeof g.text, "%08X-%04X-4%03X-A%03X-%012llX", unsigned(x >> 32),
                  unsigned(x >> 16) & 0xFFFFu, unsigned(x) & 0xFFFu, unsigned(x >> 52) & 0xFFFu,
                  static_cast<unsigned long long>(quint64(n) & 0xFFFFFFFFFFFFULL));
    return g;
}

void appendLength(QByteArray &out, qint64 length)
{
    if (length < 0x80) {
        out.append(char(length));
    } else if (length < 0x8000) {
        out.append(char(0x81));
        out.append(char(length & 0xFF));
        out.append(char((length >> 8) & 0xFF));
    } else {
        out.append(char(0x82));
        for (int shift = 0; shift < 32; shift += 8)
            out.append(char((length >> shift) & 0xFF));
    }
}

} // namespace

struct FixtureDb::Statements {
    sqlite3_stmt *handle = nullptr;
    sqlite3_stmt *chat = nullptr;
    sqlite3_stmt *chatHandle = nullptr;
    sqlite3_stmt *message = nullptr;
    sqlite3_stmt *chatMessage = nullptr;

    ~Statements()
    {
        for (sqlite3_stmt *s : {handle, chat, chatHandle, message, chatMessage})
            sqlite3_finalize(s);
    }
};

FixtureDb::FixtureDb(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    QFile::remove(path + QStringLiteral("-wal"));
    QFile::remove(path + QStringLiteral("-shm"));
    if (sqlite3_open_v2(path.toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        m_db = nullptr;
        throw std::runtime_error("cannot create " + path.toStdString() + ": " + message);
    }
    try {
        exec(m_db, "PRAGMA page_size = 4096");
        exec(m_db, "PRAGMA journal_mode = WAL");
        exec(m_db, "PRAGMA synchronous = OFF");
        exec(m_db, "PRAGMA cache_size = -65536");
        exec(m_db, "PRAGMA mmap_size = 2147418112"); // index builds read the whole table back
        exec(m_db, schema);
        for (const char *index : indexes)
            exec(m_db, index);
        m_statements = std::make_unique<Statements>();
        prepare(&m_statements->handle,
                "INSERT INTO handle (id, country, service, uncanonicalized_id, person_centric_id) "
                "VALUES (?1, ?2, ?3, ?4, NULL)");
        prepare(&m_statements->chat,
                "INSERT INTO chat (guid, style, state, account_id, chat_identifier, service_name, "
                "room_name, account_login, last_addressed_handle, display_name, group_id, "
                "successful_query, last_read_message_timestamp) "
                "VALUES (?1, ?2, 3, ?3, ?4, ?5, ?6, 'E:', '', ?7, ?8, 1, 0)");
        prepare(&m_statements->chatHandle, "INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (?1, ?2)");
        prepare(&m_statements->message,
                "INSERT INTO message (guid, text, handle_id, attributedBody, version, type, service, "
                "account, account_guid, date, date_read, date_delivered, is_delivered, is_finished, "
                "is_from_me, is_read, is_sent, destination_caller_id, part_count) "
                "VALUES (?1, ?2, ?3, ?4, 10, 0, ?5, 'E:', ?6, ?7, ?8, ?9, 1, 1, ?10, ?11, ?10, ?12, 1)");
        prepare(&m_statements->chatMessage,
                "INSERT INTO chat_message_join (chat_id, message_id, message_date) VALUES (?1, ?2, ?3)");
    } catch (...) {
        m_statements.reset();
        sqlite3_close(m_db);
        m_db = nullptr;
        throw;
    }
}

FixtureDb::~FixtureDb()
{
    close();
}

void FixtureDb::prepare(sqlite3_stmt **statement, const char *sql)
{
    if (sqlite3_prepare_v2(m_db, sql, -1, statement, nullptr) != SQLITE_OK)
        fail(m_db, "prepare");
}

void FixtureDb::run(sqlite3_stmt *statement)
{
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (rc != SQLITE_DONE)
        fail(m_db, "insert");
}

static void bindText(sqlite3_stmt *s, int index, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(s, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

static void bindText(sqlite3_stmt *s, int index, const Guid &guid)
{
    sqlite3_bind_text(s, index, guid.text, -1, SQLITE_TRANSIENT);
}

qint64 FixtureDb::addHandle(const QString &id, const QString &service, bool nullId)
{
    sqlite3_stmt *s = m_statements->handle;
    if (id.isEmpty() && nullId)
        sqlite3_bind_null(s, 1);
    else
        bindText(s, 1, id);
    bindText(s, 2, id.startsWith(QLatin1Char('+')) ? QStringLiteral("us") : QString());
    bindText(s, 3, service);
    bindText(s, 4, id);
    run(s);
    const qint64 rowId = sqlite3_last_insert_rowid(m_db);
    m_handles.insert(rowId, id);
    return rowId;
}

qint64 FixtureDb::addChat(const QList<qint64> &handleRowIds, const QString &service)
{
    sqlite3_stmt *s = m_statements->chat;
    const qint64 n = ++m_chatCount;
    const bool direct = handleRowIds.size() == 1;
    // One-to-one chats are named after their partner, group chats get a generated room name.
    const QString identifier = direct ? m_handles.value(handleRowIds.first())
                                      : QStringLiteral("chat%1").arg(quint64(n) * 7919ULL + 100000000000ULL);
    bindText(s, 1, service + (direct ? QStringLiteral(";-;") : QStringLiteral(";+;")) + identifier);
    sqlite3_bind_int(s, 2, direct ? 45 : 43);
    bindText(s, 3, guidFor('a', 1));
    bindText(s, 4, identifier);
    bindText(s, 5, service);
    if (direct)
        sqlite3_bind_null(s, 6);
    else
        bindText(s, 6, identifier);
    bindText(s, 7, QString());
    bindText(s, 8, guidFor('g', n));
    run(s);
    const qint64 chatId = sqlite3_last_insert_rowid(m_db);
    m_chatServices.insert(chatId, service);
    for (qint64 handleId : handleRowIds) {
        sqlite3_bind_int64(m_statements->chatHandle, 1, chatId);
        sqlite3_bind_int64(m_statements->chatHandle, 2, handleId);
        run(m_statements->chatHandle);
    }
    return chatId;
}

qint64 FixtureDb::addMessage(qint64 chatId, qint64 rawDate, bool fromMe, const std::optional<QString> &text,
                             const std::optional<QByteArray> &attributedBody, qint64 handleRowId)
{
    sqlite3_stmt *s = m_statements->message;
    const qint64 n = ++m_messageCount;
    const QString service = m_chatServices.value(chatId, QStringLiteral("iMessage"));
    bindText(s, 1, guidFor('m', n));
    if (text)
        bindText(s, 2, *text);
    sqlite3_bind_int64(s, 3, handleRowId);
    if (attributedBody)
        sqlite3_bind_blob(s, 4, attributedBody->constData(), int(attributedBody->size()), SQLITE_TRANSIENT);
    bindText(s, 5, service);
    bindText(s, 6, guidFor('a', 1));
    sqlite3_bind_int64(s, 7, rawDate);
    // Read and delivery stamps trail the message by a little, in the same unit as its date; at
    // the very end of the 64-bit range they equal it.
    const qint64 unit = rawDate > 1'000'000'000'000LL ? 1'000'000'000LL : 1LL;
    const auto after = [&](qint64 steps) {
        qint64 stamp = 0;
        return qAddOverflow(rawDate, steps * unit, &stamp) ? rawDate : stamp;
    };
    sqlite3_bind_int64(s, 8, fromMe ? 0 : after(n % 600));
    sqlite3_bind_int64(s, 9, fromMe ? after(2) : 0);
    sqlite3_bind_int(s, 10, fromMe ? 1 : 0);
    sqlite3_bind_int(s, 11, fromMe ? 0 : 1);
    bindText(s, 12, fromMe ? QStringLiteral("E:owner@example.com") : QString());
    run(s);
    const qint64 messageId = sqlite3_last_insert_rowid(m_db);
    sqlite3_bind_int64(m_statements->chatMessage, 1, chatId);
    sqlite3_bind_int64(m_statements->chatMessage, 2, messageId);
    sqlite3_bind_int64(m_statements->chatMessage, 3, rawDate);
    run(m_statements->chatMessage);
    return messageId;
}

void FixtureDb::begin()
{
    exec(m_db, "BEGIN");
}

void FixtureDb::commit()
{
    exec(m_db, "COMMIT");
}

void FixtureDb::beginBulkLoad()
{
    // Without a journal each page is written once, not to the -wal and then again to the file.
    exec(m_db, "PRAGMA journal_mode = OFF");
    for (const char *index : indexes) {
        // "CREATE INDEX name ON ..." -> "DROP INDEX name"
        const QByteArray name = QByteArray(index).split(' ').value(2);
        exec(m_db, ("DROP INDEX " + name).constData());
    }
}

void FixtureDb::endBulkLoad()
{
    for (const char *index : indexes)
        exec(m_db, index);
    exec(m_db, "PRAGMA journal_mode = WAL");
}

void FixtureDb::keepWal()
{
    // Fold what is written so far into the main file, then never again: neither the
    // automatic checkpoint nor the one on close may move later rows out of the -wal file.
    if (sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr) != SQLITE_OK)
        fail(m_db, "checkpoint");
    sqlite3_wal_autocheckpoint(m_db, 0);
    if (sqlite3_db_config(m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) != SQLITE_OK)
        fail(m_db, "no checkpoint on close");
}

void FixtureDb::close()
{
    m_statements.reset();
    if (m_db) {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
}

void FixtureDb::garbleLeaf(const QString &path, const QString &btree)
{
    sqlite3 *db = nullptr;
    QList<qint64> leaves;
    qint64 pageSize = 0;
    try {
        if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            fail(db, "open");
        exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
        sqlite3_stmt *s = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT pageno, pgsize FROM dbstat WHERE name = ?1 AND pagetype = 'leaf' ORDER BY pageno",
                               -1, &s, nullptr) != SQLITE_OK)
            fail(db, "dbstat");
        bindText(s, 1, btree);
        while (sqlite3_step(s) == SQLITE_ROW) {
            leaves.append(sqlite3_column_int64(s, 0));
            pageSize = sqlite3_column_int64(s, 1);
        }
        sqlite3_finalize(s);
    } catch (...) {
        sqlite3_close(db);
        throw;
    }
    sqlite3_close(db);
    QFile file(path);
    if (leaves.isEmpty() || !file.open(QIODevice::ReadWrite) || !file.seek((leaves[leaves.size() / 2] - 1) * pageSize)
        || file.write(QByteArray(pageSize, '\xff')) != pageSize)
        throw std::runtime_error("cannot garble a leaf of " + btree.toStdString());
}

QByteArray FixtureDb::archiveBody(const QString &text)
{
    // typedstream header, then NSAttributedString < NSObject holding an NSString, whose bytes
    // follow the "+" type code, then the attribute run over the whole string.
    static const QByteArray head = QByteArray::fromHex(
        "040b73747265616d747970656481e803840140848484124e5341747472696275746564537472696e67"
        "008484084e534f626a656374008592848484084e53537472696e67019484012b");
    static const QByteArray tail = QByteArray::fromHex(
        "928484840c4e5344696374696f6e617279009484016901928496961d5f5f6b494d4d6573736167655061"
        "72744174747269627574654e616d658692848484084e534e756d626572008484074e5356616c7565009484"
        "012a84999900868686");
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(head.size() + utf8.size() + tail.size() + 16);
    out.append(head);
    appendLength(out, utf8.size());
    out.append(utf8);
    out.append(QByteArray::fromHex("868402694901"));
    appendLength(out, text.size()); // the attribute range counts UTF-16 units
    out.append(tail);
    return out;
}
