// libFuzzer target: a backup's hostile bytes (Info.plist, a Manifest.db file record, the key bag,
// Manifest.plist) are described, unlocked and read without undefined behaviour or a crash.
// Input: up to four parts separated by "|||", in that order.
#include "Backup.h"
#include "BackupWriter.h"
#include "ChatDatabase.h"

#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <cstdint>
#include <cstring>

namespace {

void write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

void readAll(const QString &folder, QByteArray password)
{
    try {
        Backup::describe(folder);
        Backup backup(folder);
        if (backup.isLocked())
            backup.unlock(password);
        const PrivateFolder work;
        backup.writeMessages(work.filePath(QStringLiteral("sms.db")));
        backup.contacts();
    } catch (const BackupError &) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    static const QString chatDb = dir.filePath(QStringLiteral("chat.db"));
    static const QString plain = dir.filePath(QStringLiteral("plain"));
    static const QString locked = dir.filePath(QStringLiteral("locked"));
    static const bool written = [] {
        write(chatDb, QByteArray("SQLite format 3\0", 16) + QByteArray(4080, '\0'));
        writeBackup(plain, messagesFiles(chatDb));
        BackupOptions options;
        options.password = "pw";
        options.iterations = 1;
        options.sha256Iterations = 1;
        writeBackup(locked, messagesFiles(chatDb), options);
        return true;
    }();
    (void)written;

    QList<QByteArray> parts;
    QByteArrayView rest(data, qsizetype(size));
    while (parts.size() < 4) {
        const qsizetype end = rest.indexOf("|||");
        parts.append(rest.first(end < 0 ? rest.size() : end).toByteArray());
        if (end < 0)
            break;
        rest = rest.sliced(end + 3);
    }
    const auto part = [&parts](int i) { return parts.value(i); };

    write(plain + QStringLiteral("/Info.plist"), part(0));
    sqlite3 *db = nullptr;
    sqlite3_stmt *stmt = nullptr;
    sqlite3_open(QFile::encodeName(plain + QStringLiteral("/Manifest.db")).constData(), &db);
    sqlite3_exec(db, "PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db, "UPDATE Files SET file = ?", -1, &stmt, nullptr);
    const QByteArray record = part(1);
    sqlite3_bind_blob(stmt, 1, record.constData(), int(record.size()), SQLITE_TRANSIENT);
    sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    readAll(plain, {});

    // The key bag inside a well-formed Manifest.plist, then a whole Manifest.plist of the input.
    const QByteArray keybag = part(2).toBase64();
    write(locked + QStringLiteral("/Manifest.plist"),
          "<plist><dict><key>IsEncrypted</key><true/><key>BackupKeyBag</key><data>" + keybag + "</data></dict></plist>");
    readAll(locked, "pw");
    write(locked + QStringLiteral("/Manifest.plist"), part(3));
    readAll(locked, "pw");
    return 0;
}
