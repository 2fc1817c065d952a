#include "BackupWriter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtEndian>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <plist/plist.h>
#include <sqlite3.h>

#include <map>
#include <memory>
#include <stdexcept>

namespace {

constexpr int protectionClass = 3;  // what the phone gives most files
constexpr int manifestClass = 4;

QByteArray randomBytes(int size)
{
    QByteArray out(size, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(out.data()), size) != 1)
        throw std::runtime_error("no random bytes");
    return out;
}

QByteArray cipher(const EVP_CIPHER *type, const QByteArray &key, const QByteArray &in, bool wrap)
{
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    const unsigned char iv[16] = {};
    QByteArray out(in.size() + 32, Qt::Uninitialized);
    int length = 0;
    int tail = 0;
    if (wrap)
        EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    auto *o = reinterpret_cast<unsigned char *>(out.data());
    if (EVP_EncryptInit_ex(ctx.get(), type, nullptr, reinterpret_cast<const unsigned char *>(key.constData()),
                           wrap ? nullptr : iv) != 1
        || EVP_EncryptUpdate(ctx.get(), o, &length, reinterpret_cast<const unsigned char *>(in.constData()),
                             int(in.size())) != 1
        || EVP_EncryptFinal_ex(ctx.get(), o + length, &tail) != 1)
        throw std::runtime_error("encryption failed");
    out.truncate(length + tail);
    return out;
}

QByteArray wrapKey(const QByteArray &kek, const QByteArray &key)
{
    return cipher(EVP_aes_256_wrap(), kek, key, true);
}

QByteArray encrypt(const QByteArray &key, const QByteArray &plain)
{
    return cipher(EVP_aes_256_cbc(), key, plain, false);
}

QByteArray pbkdf2(const QByteArray &password, const QByteArray &salt, quint32 rounds, const EVP_MD *digest)
{
    QByteArray out(32, Qt::Uninitialized);
    PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()), reinterpret_cast<const unsigned char *>(salt.constData()),
                      int(salt.size()), int(rounds), digest, 32, reinterpret_cast<unsigned char *>(out.data()));
    return out;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    return file.readAll();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

QByteArray leClass(int clas)
{
    QByteArray out(4, Qt::Uninitialized);
    qToLittleEndian<quint32>(quint32(clas), out.data());
    return out;
}

void tlv(QByteArray &bag, const char *tag, const QByteArray &value)
{
    bag.append(tag, 4);
    QByteArray length(4, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(value.size()), length.data());
    bag.append(length).append(value);
}

void tlv(QByteArray &bag, const char *tag, quint32 value)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian<quint32>(value, bytes.data());
    tlv(bag, tag, bytes);
}

using Plist = std::unique_ptr<std::remove_pointer_t<plist_t>, decltype(&plist_free)>;

QByteArray toBinary(plist_t node)
{
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    QByteArray out(bytes, qsizetype(length));
    plist_to_bin_free(bytes);
    return out;
}

plist_t string(const QString &text)
{
    return plist_new_string(text.toUtf8().constData());
}

plist_t data(const QByteArray &bytes)
{
    return plist_new_data(bytes.constData(), uint64_t(bytes.size()));
}

// The MBFile record as NSKeyedArchiver writes it; the key's NS.data inline, as phones write it.
QByteArray fileRecord(const QString &relativePath, qint64 size, const QByteArray &encryptionKey)
{
    Plist root(plist_new_dict(), plist_free);
    plist_dict_set_item(root.get(), "$version", plist_new_uint(100000));
    plist_dict_set_item(root.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", plist_new_uid(1));
    plist_dict_set_item(root.get(), "$top", top);
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_t file = plist_new_dict();
    plist_dict_set_item(file, "RelativePath", plist_new_uid(2));
    plist_dict_set_item(file, "Size", plist_new_uint(uint64_t(size)));
    plist_dict_set_item(file, "Mode", plist_new_uint(0100644));
    plist_dict_set_item(file, "ProtectionClass", plist_new_uint(protectionClass));
    plist_dict_set_item(file, "$class", plist_new_uid(encryptionKey.isEmpty() ? 3 : 4));
    if (!encryptionKey.isEmpty())
        plist_dict_set_item(file, "EncryptionKey", plist_new_uid(3));
    plist_array_append_item(objects, file);
    plist_array_append_item(objects, string(relativePath));
    if (!encryptionKey.isEmpty()) {
        plist_t key = plist_new_dict();
        plist_dict_set_item(key, "NS.data", data(encryptionKey));
        plist_array_append_item(objects, key);
    }
    plist_t clas = plist_new_dict();
    plist_dict_set_item(clas, "$classname", plist_new_string("MBFile"));
    plist_array_append_item(objects, clas);
    plist_dict_set_item(root.get(), "$objects", objects);
    return toBinary(root.get());
}

void exec(sqlite3 *db, const char *sql)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
}

struct Database {
    explicit Database(const QString &path)
    {
        QFile::remove(path);
        if (sqlite3_open(QFile::encodeName(path).constData(), &db) != SQLITE_OK)
            throw std::runtime_error("cannot create " + path.toStdString());
    }
    ~Database() { sqlite3_close(db); }
    sqlite3_stmt *prepare(const char *sql) const
    {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
        return stmt;
    }
    void run(sqlite3_stmt *stmt) const
    {
        const int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        if (rc != SQLITE_DONE)
            throw std::runtime_error(sqlite3_errmsg(db));
    }
    sqlite3 *db = nullptr;
};

void bindText(sqlite3_stmt *stmt, int index, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(stmt, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

} // namespace

void writeBackup(const QString &folder, const QList<BackupFile> &files, const BackupOptions &options)
{
    QDir().mkpath(folder);
    const QDir dir(folder);
    const bool encrypted = options.password.has_value();
    const int32_t seconds = int32_t(QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC).secsTo(options.date));

    // Keys: one per protection class, wrapped by the key the password derives.
    std::map<int, QByteArray> classKeys;
    QByteArray keybag;
    if (encrypted) {
        const QByteArray salt = randomBytes(20);
        const QByteArray dpsl = randomBytes(20);
        const QByteArray kek = pbkdf2(pbkdf2(*options.password, dpsl, options.sha256Iterations, EVP_sha256()), salt,
                                      options.iterations, EVP_sha1());
        tlv(keybag, "VERS", 3);
        tlv(keybag, "TYPE", 1);
        tlv(keybag, "UUID", randomBytes(16));
        tlv(keybag, "HMCK", randomBytes(40));
        tlv(keybag, "WRAP", 0);
        tlv(keybag, "SALT", salt);
        tlv(keybag, "ITER", options.iterations);
        tlv(keybag, "DPWT", 1);
        tlv(keybag, "DPIC", options.sha256Iterations);
        tlv(keybag, "DPSL", dpsl);
        // Phones list the classes from 11 down to 1.
        for (int clas = 11; clas >= 1; --clas) {
            classKeys[clas] = randomBytes(32);
            tlv(keybag, "UUID", randomBytes(16));
            tlv(keybag, "CLAS", quint32(clas));
            tlv(keybag, "WRAP", 3);
            tlv(keybag, "KTYP", 0);
            tlv(keybag, "WPKY", wrapKey(kek, classKeys[clas]));
        }
    }

    QTemporaryDir work;
    const QString manifestPath = encrypted ? work.filePath(QStringLiteral("Manifest.db")) : dir.filePath(QStringLiteral("Manifest.db"));
    {
        Database manifest(manifestPath);
        exec(manifest.db, "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER, file BLOB);"
                          "CREATE INDEX FilesDomainIdx ON Files(domain);"
                          "CREATE INDEX FilesRelativePathIdx ON Files(relativePath);"
                          "CREATE INDEX FilesFlagsIdx ON Files(flags);"
                          "CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);");
        sqlite3_stmt *insert = manifest.prepare("INSERT INTO Files VALUES (?, ?, ?, 1, ?)");
        for (const BackupFile &file : files) {
            const QByteArray fileId =
                QCryptographicHash::hash((file.domain + u'-' + file.relativePath).toUtf8(), QCryptographicHash::Sha1).toHex();
            const QByteArray plain = readAll(file.sourcePath);
            QByteArray stored = plain;
            QByteArray wrapped;
            if (encrypted) {
                const QByteArray fileKey = randomBytes(32);
                wrapped = leClass(protectionClass) + wrapKey(classKeys[protectionClass], fileKey);
                stored = encrypt(fileKey, plain);
            }
            writeFile(dir.filePath(QString::fromLatin1(fileId.left(2) + '/' + fileId)), stored);
            const QByteArray record = fileRecord(file.relativePath, plain.size(), wrapped);
            sqlite3_bind_text(insert, 1, fileId.constData(), int(fileId.size()), SQLITE_TRANSIENT);
            bindText(insert, 2, file.domain);
            bindText(insert, 3, file.relativePath);
            sqlite3_bind_blob(insert, 4, record.constData(), int(record.size()), SQLITE_TRANSIENT);
            manifest.run(insert);
        }
        sqlite3_finalize(insert);
    }

    Plist manifestPlist(plist_new_dict(), plist_free);
    plist_dict_set_item(manifestPlist.get(), "IsEncrypted", plist_new_bool(encrypted));
    plist_dict_set_item(manifestPlist.get(), "Version", plist_new_string("10.0"));
    plist_dict_set_item(manifestPlist.get(), "Date", plist_new_date(seconds, 0));
    plist_t lockdown = plist_new_dict();
    plist_dict_set_item(lockdown, "DeviceName", string(options.deviceName));
    plist_dict_set_item(lockdown, "ProductVersion", string(options.iosVersion));
    plist_dict_set_item(manifestPlist.get(), "Lockdown", lockdown);
    if (encrypted) {
        const QByteArray manifestKey = randomBytes(32);
        plist_dict_set_item(manifestPlist.get(), "BackupKeyBag", data(keybag));
        plist_dict_set_item(manifestPlist.get(), "ManifestKey",
                            data(leClass(manifestClass) + wrapKey(classKeys[manifestClass], manifestKey)));
        writeFile(dir.filePath(QStringLiteral("Manifest.db")), encrypt(manifestKey, readAll(manifestPath)));
    }
    writeFile(dir.filePath(QStringLiteral("Manifest.plist")), toBinary(manifestPlist.get()));

    Plist info(plist_new_dict(), plist_free);
    plist_dict_set_item(info.get(), "Device Name", string(options.deviceName));
    plist_dict_set_item(info.get(), "Display Name", string(options.deviceName));
    plist_dict_set_item(info.get(), "Product Version", string(options.iosVersion));
    plist_dict_set_item(info.get(), "Product Type", plist_new_string("iPhone15,2"));
    plist_dict_set_item(info.get(), "Last Backup Date", plist_new_date(seconds, 0));
    writeFile(dir.filePath(QStringLiteral("Info.plist")), toBinary(info.get()));

    Plist status(plist_new_dict(), plist_free);
    plist_dict_set_item(status.get(), "IsFullBackup", plist_new_bool(0));
    plist_dict_set_item(status.get(), "Version", plist_new_string("3.3"));
    writeFile(dir.filePath(QStringLiteral("Status.plist")), toBinary(status.get()));
}

QList<BackupFile> messagesFiles(const QString &chatDbPath)
{
    QList<BackupFile> files;
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        if (QFileInfo::exists(chatDbPath + suffix))
            files.append({QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db") + suffix, chatDbPath + suffix});
    }
    return files;
}

void writeAddressBook(const QString &path, const QList<AddressBookPerson> &people)
{
    const Database book(path);
    exec(book.db, "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, First TEXT, Last TEXT, Middle TEXT,"
                  " Organization TEXT, Kind INTEGER);"
                  "CREATE TABLE ABMultiValueLabel (value TEXT, UNIQUE(value));"
                  "CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, property INTEGER,"
                  " identifier INTEGER, label INTEGER, value TEXT, guid TEXT);"
                  "INSERT INTO ABMultiValueLabel VALUES ('_$!<Mobile>!$_'), ('_$!<Home>!$_');");
    sqlite3_stmt *person = book.prepare("INSERT INTO ABPerson (First, Last, Middle, Organization, Kind) VALUES (?, ?, ?, ?, 0)");
    sqlite3_stmt *value = book.prepare("INSERT INTO ABMultiValue (record_id, property, identifier, label, value)"
                                       " VALUES (?, ?, ?, ?, ?)");
    const auto bindName = [](sqlite3_stmt *stmt, int index, const QString &text) {
        if (text.isEmpty())
            sqlite3_bind_null(stmt, index);
        else
            bindText(stmt, index, text);
    };
    for (const AddressBookPerson &p : people) {
        bindName(person, 1, p.first);
        bindName(person, 2, p.last);
        bindName(person, 3, p.middle);
        bindName(person, 4, p.organization);
        book.run(person);
        const qint64 rowId = sqlite3_last_insert_rowid(book.db);
        for (const auto &[property, values] : {std::pair{3, &p.phones}, std::pair{4, &p.emails}}) {
            for (qsizetype i = 0; i < values->size(); ++i) {
                sqlite3_bind_int64(value, 1, rowId);
                sqlite3_bind_int(value, 2, property);
                sqlite3_bind_int64(value, 3, i);
                sqlite3_bind_int(value, 4, property == 3 ? 1 : 2);
                bindText(value, 5, values->at(i));
                book.run(value);
            }
        }
    }
    sqlite3_finalize(person);
    sqlite3_finalize(value);
}
