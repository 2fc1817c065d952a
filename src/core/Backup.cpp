#include "Backup.h"

#include "ChatDatabase.h"
#include "PlainFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QtEndian>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <plist/plist.h>
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <map>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

// Property lists beyond this are no backup's (a real Manifest.plist is a few hundred KB).
constexpr qint64 maxPlistBytes = 32 << 20;
// One file record in Manifest.db is a few hundred bytes.
constexpr int maxRecordBytes = 64 << 10;
constexpr int maxKeybagBytes = 64 << 10;
// Real bags ask for 10,000 and 10,000,000 rounds; a hostile one must not hold the thread for hours.
constexpr quint32 maxRounds = 50'000'000;
constexpr int keyBytes = 32;
constexpr int wrappedBytes = 40;
const QString settingsKey = QStringLiteral("backups/folders");

// Bytes that are wiped when they go: the password and every key.
class Secret {
public:
    Secret() = default;
    explicit Secret(QByteArrayView bytes) : m_bytes(bytes.begin(), bytes.end()) {}
    explicit Secret(size_t size) : m_bytes(size) {}
    ~Secret() { wipe(); }
    Secret(Secret &&other) noexcept : m_bytes(std::move(other.m_bytes)) {}
    Secret &operator=(Secret &&other) noexcept
    {
        wipe();
        m_bytes = std::move(other.m_bytes);
        return *this;
    }
    void wipe()
    {
        if (!m_bytes.empty())
            OPENSSL_cleanse(m_bytes.data(), m_bytes.size());
    }
    unsigned char *data() { return m_bytes.data(); }
    const unsigned char *data() const { return m_bytes.data(); }
    int size() const { return int(m_bytes.size()); }

private:
    std::vector<unsigned char> m_bytes;
};

void wipe(QByteArray &bytes)
{
    if (!bytes.isEmpty())
        OPENSSL_cleanse(bytes.data(), size_t(bytes.size()));
    bytes.clear();
}

BackupError unreadable(const char *detail)
{
    return BackupError(BackupError::Kind::unreadable, QCoreApplication::translate("BackupError", detail));
}

// --- Property lists -------------------------------------------------------------------------

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using Plist = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

Plist parsePlist(const QByteArray &bytes)
{
    plist_t root = nullptr;
    if (!bytes.isEmpty() && bytes.size() <= maxPlistBytes)
        plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &root);
    return Plist(root);
}

Plist readPlist(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxPlistBytes)
        return {};
    return parsePlist(file.read(maxPlistBytes));
}

plist_t item(plist_t dict, const char *key)
{
    return dict && plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
}

QString text(plist_t node)
{
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return {};
    char *value = nullptr;
    plist_get_string_val(node, &value);
    QString out = QString::fromUtf8(value).trimmed();
    std::free(value);
    return out;
}

QByteArray data(plist_t node)
{
    if (!node || plist_get_node_type(node) != PLIST_DATA)
        return {};
    uint64_t length = 0;
    const char *bytes = plist_get_data_ptr(node, &length);
    return length <= uint64_t(maxPlistBytes) ? QByteArray(bytes, qsizetype(length)) : QByteArray();
}

std::optional<quint64> integer(plist_t node)
{
    if (!node || plist_get_node_type(node) != PLIST_UINT)
        return std::nullopt;
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

std::optional<RefDate> date(plist_t node)
{
    if (!node || plist_get_node_type(node) != PLIST_DATE)
        return std::nullopt;
    int32_t seconds = 0;
    int32_t micros = 0;
    plist_get_date_val(node, &seconds, &micros);
    return RefDate(seconds) + RefDate(micros) / 1e6;
}

// An NSKeyedArchiver reference: the object it points at, or the node itself when it is inline.
plist_t resolve(plist_t objects, plist_t node)
{
    if (!node || plist_get_node_type(node) != PLIST_UID)
        return node;
    uint64_t index = 0;
    plist_get_uid_val(node, &index);
    return index < plist_array_get_size(objects) ? plist_array_get_item(objects, uint32_t(index)) : nullptr;
}

// One Manifest.db record: its size, and in encrypted backups its wrapped key with its class.
struct FileRecord {
    qint64 size = -1;
    QByteArray encryptionKey;
};

std::optional<FileRecord> parseRecord(const QByteArray &bytes)
{
    const Plist root = parsePlist(bytes);
    plist_t objects = item(root.get(), "$objects");
    if (!objects || plist_get_node_type(objects) != PLIST_ARRAY)
        return std::nullopt;
    plist_t file = resolve(objects, item(item(root.get(), "$top"), "root"));
    const std::optional<quint64> size = integer(item(file, "Size"));
    if (!size || *size > quint64(std::numeric_limits<qint64>::max()))
        return std::nullopt;
    FileRecord record{qint64(*size), {}};
    if (plist_t key = resolve(objects, item(file, "EncryptionKey")))
        record.encryptionKey = data(resolve(objects, item(key, "NS.data")));
    return record;
}

// --- Keys -----------------------------------------------------------------------------------

std::optional<Secret> unwrapKey(const Secret &kek, QByteArrayView wrapped)
{
    if (wrapped.size() != wrappedBytes || kek.size() != keyBytes)
        return std::nullopt;
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    Secret key{size_t(wrappedBytes)};
    int length = 0;
    int tail = 0;
    if (!ctx)
        return std::nullopt;
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    // The default initial value is RFC 3394's A6A6A6A6A6A6A6A6; another one fails the update.
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr, kek.data(), nullptr) != 1
        || EVP_DecryptUpdate(ctx.get(), key.data(), &length, reinterpret_cast<const unsigned char *>(wrapped.data()),
                             int(wrapped.size())) != 1
        || EVP_DecryptFinal_ex(ctx.get(), key.data() + length, &tail) != 1 || length + tail != keyBytes)
        return std::nullopt;
    Secret out(QByteArrayView(reinterpret_cast<const char *>(key.data()), keyBytes));
    return out;
}

// A key kept as its class (4 bytes, little-endian) and its wrapped bytes, unwrapped with that
// class's key; none when the size is wrong or the class unknown.
std::optional<Secret> unwrapClassKey(const std::map<quint32, Secret> &classKeys, QByteArrayView stored)
{
    if (stored.size() != 4 + wrappedBytes)
        return std::nullopt;
    const auto classKey = classKeys.find(qFromLittleEndian<quint32>(stored.data()));
    if (classKey == classKeys.end())
        return std::nullopt;
    return unwrapKey(classKey->second, stored.sliced(4));
}

struct Keybag {
    QByteArray salt;
    quint32 iterations = 0;
    QByteArray dpsl;
    quint32 dpic = 0;
    std::map<quint32, QByteArray> wrappedClassKeys;  // class → WPKY, for classes wrapped by the password
};

std::optional<Keybag> parseKeybag(const QByteArray &bytes)
{
    if (bytes.size() > maxKeybagBytes)
        return std::nullopt;
    Keybag bag;
    bool seenUuid = false;
    bool inClass = false;
    quint32 clas = 0;
    quint32 wrap = 0;
    QByteArray wpky;
    const auto endClass = [&] {
        if (inClass && (wrap & 2) && !wpky.isEmpty())
            bag.wrappedClassKeys.try_emplace(clas, wpky);
        clas = wrap = 0;
        wpky.clear();
    };
    for (qsizetype at = 0; at < bytes.size();) {
        if (bytes.size() - at < 8)
            return std::nullopt;
        const QByteArray tag = bytes.mid(at, 4);
        const quint32 length = qFromBigEndian<quint32>(bytes.constData() + at + 4);
        if (length > quint32(bytes.size() - at - 8))
            return std::nullopt;
        const QByteArray value = bytes.mid(at + 8, qsizetype(length));
        at += 8 + qsizetype(length);
        const quint32 number = length == 4 ? qFromBigEndian<quint32>(value.constData()) : 0;
        if (tag == "UUID") {
            // The first UUID names the bag; every later one starts a class record.
            endClass();
            inClass = seenUuid;
            seenUuid = true;
        } else if (tag == "CLAS") {
            clas = number;
        } else if (tag == "WRAP") {
            wrap = number;
        } else if (tag == "WPKY") {
            wpky = value;
        } else if (tag == "SALT") {
            bag.salt = value;
        } else if (tag == "ITER") {
            bag.iterations = number;
        } else if (tag == "DPSL") {
            bag.dpsl = value;
        } else if (tag == "DPIC") {
            bag.dpic = number;
        }
    }
    endClass();
    if (bag.salt.isEmpty() || bag.iterations == 0 || bag.iterations > maxRounds || bag.dpic > maxRounds
        || (!bag.dpsl.isEmpty() && bag.dpic == 0) || bag.wrappedClassKeys.empty())
        return std::nullopt;
    return bag;
}

// --- Files ----------------------------------------------------------------------------------

bool isSqlite(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(16) == QByteArrayView("SQLite format 3\0", 16);
}

// Streams `from` into a new owner-only file `to`, through AES-256-CBC (zero IV) when a key is
// given. `size` is what a decrypted result must hold: the decrypted bytes beyond it are padding; when
// unknown (-1) a valid PKCS#7 pad is stripped. On failure nothing is left at `to`.
void copyFile(const QString &from, const QString &to, const Secret *key, qint64 size, const std::atomic_bool &cancelled)
{
    // A plain blob is the file itself, whatever size its record claims (copies made by tools
    // are often cut down); SQLite judges the bytes.
    const auto failed = [](int error) {
        return error == ENOENT ? unreadable("a file in it is missing") : unreadable("a file in it can't be read");
    };
    if (!key) {
        if (const int error = ChatDatabase::copyPrivately(from, to))
            throw failed(error);
        return;
    }
    int error = 0;
    qint64 cipherBytes = 0;
    const int in = openPlainFile(QFile::encodeName(from), error, &cipherBytes);
    if (in < 0)
        throw failed(error);
    const auto closeIn = qScopeGuard([in] { ::close(in); });
    if (cipherBytes % 16 != 0 || (size >= 0 && cipherBytes < size))
        throw unreadable("a file in it is cut short");
    const QByteArray target = QFile::encodeName(to);
    const int out = createPrivateFile(target);
    if (out < 0)
        throw unreadable("a file in it can't be written");
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    const unsigned char iv[16] = {};
    bool ok = ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key->data(), iv) == 1
        && EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1;
    QByteArray chunk(256 << 10, Qt::Uninitialized);
    // A short read leaves part of a block in the cipher, which comes out with the next chunk.
    Secret plain{size_t(chunk.size()) + 16};
    unsigned char lastBlock[16] = {};
    qint64 written = 0;
    while (ok) {
        const ssize_t got = ::read(in, chunk.data(), size_t(chunk.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        int length = 0;
        ok = !cancelled && EVP_DecryptUpdate(ctx.get(), plain.data(), &length,
                                             reinterpret_cast<const unsigned char *>(chunk.constData()), int(got)) == 1;
        if (ok && length >= 16)
            std::copy_n(plain.data() + length - 16, 16, lastBlock);
        ok = ok && writeAll(out, plain.data(), size_t(length)) == 0;
        written += length;
    }
    qint64 keep = size;
    if (ok && size < 0) {
        const int pad = written >= 16 ? lastBlock[15] : 0;
        const bool valid = pad >= 1 && pad <= 16 && std::all_of(lastBlock + 16 - pad, lastBlock + 16, [pad](unsigned char b) {
                               return b == pad;
                           });
        keep = written - (valid ? pad : 0);
    }
    OPENSSL_cleanse(lastBlock, sizeof lastBlock);
    // A wrong or invalid pad is cut at the recorded size, as the phone wrote exactly that many bytes.
    ok = ok && ::ftruncate(out, keep) == 0;
    ok = ::close(out) == 0 && ok;
    if (!ok) {
        ::unlink(target.constData());
        if (cancelled)
            throw BackupError(BackupError::Kind::cancelled);
        throw unreadable("a file in it can't be read");
    }
}

} // namespace

// --- BackupError ----------------------------------------------------------------------------

BackupError::BackupError(Kind kind, QString detail)
    : m_kind(kind), m_detail(std::move(detail)), m_what(errorDescription().toUtf8())
{
}

QString BackupError::errorDescription() const
{
    switch (m_kind) {
    case Kind::noMessages:
        return tr("This backup holds no messages.");
    case Kind::wrongPassword:
        return tr("That password didn't work.");
    case Kind::unsupported:
        return tr("This backup was made by an iPhone older than iOS 10 and can't be read.");
    case Kind::cancelled:
        return tr("Unlocking was cancelled.");
    case Kind::unreadable:
        break;
    }
    return tr("Couldn't read the iPhone backup: %1.").arg(m_detail);
}

// --- Finding and describing -----------------------------------------------------------------

QStringList Backup::standardFolders()
{
    QStringList folders;
#if defined(Q_OS_MACOS)
    folders << QDir::homePath() + QStringLiteral("/Library/Application Support/MobileSync/Backup");
#elif defined(Q_OS_WIN)
    folders << qEnvironmentVariable("APPDATA") + QStringLiteral("/Apple Computer/MobileSync/Backup")
            << qEnvironmentVariable("USERPROFILE") + QStringLiteral("/Apple/MobileSync/Backup");
#endif
    for (const QString &folder : rememberedFolders()) {
        if (!folders.contains(folder))
            folders << folder;
    }
    return folders;
}

QStringList Backup::rememberedFolders()
{
    return QSettings().value(settingsKey).toStringList();
}

void Backup::rememberFolder(const QString &folder)
{
    QSettings settings;
    QStringList folders = settings.value(settingsKey).toStringList();
    const QString clean = QDir::cleanPath(folder);
    if (!folders.contains(clean))
        settings.setValue(settingsKey, folders << clean);
}

QList<BackupInfo> Backup::discover(const QStringList &folders)
{
    QList<BackupInfo> found;
    for (const QString &folder : folders) {
        if (auto info = describe(folder)) {
            found << *info;
            continue;
        }
        const QDir dir(folder);
        for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
            if (auto info = describe(dir.filePath(name)))
                found << *info;
        }
    }
    // A folder remembered beside the one that holds it is one backup, not two.
    QStringList seen;
    found.removeIf([&seen](const BackupInfo &info) {
        if (seen.contains(info.folder))
            return true;
        seen << info.folder;
        return false;
    });
    std::stable_sort(found.begin(), found.end(), [](const BackupInfo &a, const BackupInfo &b) {
        return a.date.value_or(RefDates::earliest) > b.date.value_or(RefDates::earliest);
    });
    return found;
}

namespace {

// What describe tells, with what opening the backup goes on with from the same files.
struct Description {
    BackupInfo info;
    Plist manifest;
    bool sqliteManifest = false;  // Manifest.db is there as a plain SQLite file
};

std::optional<Description> describeFolder(const QString &folder)
{
    const QDir dir(folder);
    const QString manifestDb = dir.filePath(QStringLiteral("Manifest.db"));
    const bool hasManifestDb = QFileInfo(manifestDb).isFile();
    if (!hasManifestDb && !QFileInfo(dir.filePath(QStringLiteral("Manifest.mbdb"))).isFile())
        return std::nullopt;
    const Plist info = readPlist(dir.filePath(QStringLiteral("Info.plist")));
    Description found{{}, readPlist(dir.filePath(QStringLiteral("Manifest.plist"))),
                      hasManifestDb && isSqlite(manifestDb)};
    plist_t manifest = found.manifest.get();
    plist_t lockdown = item(manifest, "Lockdown");
    BackupInfo &out = found.info;
    out.folder = QDir::cleanPath(dir.absolutePath());
    out.deviceName = text(item(info.get(), "Device Name"));
    if (out.deviceName.isEmpty())
        out.deviceName = text(item(lockdown, "DeviceName"));
    if (out.deviceName.isEmpty())
        out.deviceName = text(item(info.get(), "Display Name"));
    if (out.deviceName.isEmpty())
        out.deviceName = QCoreApplication::translate("Backup", "iPhone");
    out.iosVersion = text(item(info.get(), "Product Version"));
    if (out.iosVersion.isEmpty())
        out.iosVersion = text(item(lockdown, "ProductVersion"));
    out.date = date(item(info.get(), "Last Backup Date"));
    if (!out.date)
        out.date = date(item(manifest, "Date"));
    // The flag is only a claim: a Manifest.db that is no SQLite file is encrypted whatever it says.
    plist_t flag = item(manifest, "IsEncrypted");
    uint8_t claimed = 0;
    if (flag && plist_get_node_type(flag) == PLIST_BOOLEAN)
        plist_get_bool_val(flag, &claimed);
    out.encrypted = claimed != 0 || (hasManifestDb && !found.sqliteManifest);
    return found;
}

} // namespace

std::optional<BackupInfo> Backup::describe(const QString &folder)
{
    std::optional<Description> found = describeFolder(folder);
    if (!found)
        return std::nullopt;
    return std::move(found->info);
}

// --- Opening and unlocking ------------------------------------------------------------------

struct Backup::Keys {
    std::map<quint32, Secret> classKeys;
};

// What an encrypted backup's unlocking needs, read when it is opened.
struct Backup::Locked {
    Keybag bag;
    QByteArray manifestKey;
    // Before iOS 10.2 the file list itself is not encrypted.
    bool sqliteManifest = false;
};

Backup::Backup(const QString &folder)
{
    std::optional<Description> found = describeFolder(folder);
    if (!found)
        throw unreadable("there is no Manifest.db in it");
    m_info = found->info;
    const QString manifestDb = QDir(folder).filePath(QStringLiteral("Manifest.db"));
    if (!QFileInfo(manifestDb).isFile())
        throw BackupError(BackupError::Kind::unsupported);
    if (!m_info.encrypted) {
        openManifest(manifestDb);
        return;
    }
    std::optional<Keybag> bag = parseKeybag(data(item(found->manifest.get(), "BackupKeyBag")));
    if (!bag)
        throw unreadable("its key bag is damaged");
    m_locked = std::make_unique<const Locked>(
        Locked{std::move(*bag), data(item(found->manifest.get(), "ManifestKey")), found->sqliteManifest});
}

Backup::~Backup()
{
    sqlite3_close(m_manifest);
}

bool Backup::isLocked() const
{
    return m_info.encrypted && !m_keys;
}

void Backup::unlock(QByteArray &password, const std::atomic_bool &cancelled)
{
    Secret secret(password);
    wipe(password);
    if (!isLocked())
        return;
    const Keybag &bag = m_locked->bag;
    const auto pbkdf2 = [](const Secret &pass, const QByteArray &salt, quint32 rounds, const EVP_MD *digest) {
        Secret out{size_t(keyBytes)};
        if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(pass.data()), pass.size(),
                              reinterpret_cast<const unsigned char *>(salt.constData()), int(salt.size()),
                              int(rounds), digest, keyBytes, out.data()) != 1)
            throw unreadable("its keys can't be derived");
        return out;
    };
    // From iOS 10.2 the password goes through a SHA-256 round set before the older SHA-1 one.
    if (!bag.dpsl.isEmpty())
        secret = pbkdf2(secret, bag.dpsl, bag.dpic, EVP_sha256());
    if (cancelled)
        throw BackupError(BackupError::Kind::cancelled);
    const Secret kek = pbkdf2(secret, bag.salt, bag.iterations, EVP_sha1());
    secret.wipe();
    if (cancelled)
        throw BackupError(BackupError::Kind::cancelled);

    auto keys = std::make_unique<Keys>();
    for (const auto &[clas, wrapped] : bag.wrappedClassKeys) {
        std::optional<Secret> key = unwrapKey(kek, wrapped);
        if (!key)
            throw BackupError(BackupError::Kind::wrongPassword);
        keys->classKeys.emplace(clas, std::move(*key));
    }

    const QString manifestDb = QDir(m_info.folder).filePath(QStringLiteral("Manifest.db"));
    if (m_locked->sqliteManifest || m_locked->manifestKey.isEmpty()) {
        openManifest(manifestDb);
        m_keys = std::move(keys);
        return;
    }
    const std::optional<Secret> manifestKey = unwrapClassKey(keys->classKeys, m_locked->manifestKey);
    if (!manifestKey)
        throw unreadable("its file list key is damaged");
    m_work = std::make_unique<PrivateFolder>();
    const QString plain = m_work->filePath(QStringLiteral("Manifest.db"));
    copyFile(manifestDb, plain, &*manifestKey, -1, cancelled);
    openManifest(plain);
    m_keys = std::move(keys);
}

void Backup::openManifest(const QString &path)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw unreadable("its file list is damaged");
    }
    m_manifest = db;
    if (fileCount() < 0) {
        // From the constructor no destructor follows the throw: close it here.
        sqlite3_close(std::exchange(m_manifest, nullptr));
        throw unreadable("its file list is damaged");
    }
}

qint64 Backup::fileCount() const
{
    sqlite3_stmt *stmt = nullptr;
    qint64 count = -1;
    if (m_manifest && sqlite3_prepare_v2(m_manifest, "SELECT COUNT(*) FROM Files", -1, &stmt, nullptr) == SQLITE_OK
        && sqlite3_step(stmt) == SQLITE_ROW)
        count = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return count;
}

// --- Reading files --------------------------------------------------------------------------

bool Backup::extract(const QString &domain, const QString &relativePath, const QString &target,
                     const std::atomic_bool &cancelled) const
{
    if (!m_manifest)
        throw BackupError(BackupError::Kind::wrongPassword);
    sqlite3_stmt *stmt = nullptr;
    const auto finalize = qScopeGuard([&stmt] { sqlite3_finalize(stmt); });
    if (sqlite3_prepare_v2(m_manifest, "SELECT fileID, flags, file FROM Files WHERE domain = ? AND relativePath = ?",
                           -1, &stmt, nullptr) != SQLITE_OK)
        throw unreadable("its file list is damaged");
    const QByteArray domainUtf8 = domain.toUtf8();
    const QByteArray pathUtf8 = relativePath.toUtf8();
    sqlite3_bind_text(stmt, 1, domainUtf8.constData(), int(domainUtf8.size()), SQLITE_STATIC);
    sqlite3_bind_text(stmt, 2, pathUtf8.constData(), int(pathUtf8.size()), SQLITE_STATIC);
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE)
        return false;
    if (rc != SQLITE_ROW)
        throw unreadable("its file list is damaged");

    // The file list is untrusted: its id becomes a path only in its one legal form.
    static const QRegularExpression idPattern(QStringLiteral("^[0-9a-f]{40}$"));
    const QString fileId = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
    const qint64 flags = sqlite3_column_int64(stmt, 1);
    const int recordBytes = sqlite3_column_bytes(stmt, 2);
    const QByteArray recordBlob(static_cast<const char *>(sqlite3_column_blob(stmt, 2)), recordBytes);
    if (!idPattern.match(fileId).hasMatch() || flags == 2 || flags == 4 || recordBytes > maxRecordBytes)
        throw unreadable("its file list is damaged");
    const std::optional<FileRecord> record = parseRecord(recordBlob);
    if (!record)
        throw unreadable("its file list is damaged");
    const QString blob = m_info.folder + u'/' + fileId.left(2) + u'/' + fileId;

    if (!m_keys) {
        copyFile(blob, target, nullptr, record->size, cancelled);
        return true;
    }
    const std::optional<Secret> key = unwrapClassKey(m_keys->classKeys, record->encryptionKey);
    if (!key)
        throw unreadable("a file key in it is damaged");
    copyFile(blob, target, &*key, record->size, cancelled);
    return true;
}

namespace {

// A database of the backup's home domain with the "-wal" and "-shm" files beside it, where
// the backup has them. False when it has no such database.
bool extractDatabase(const Backup &backup, const QString &relativePath, const QString &target,
                     const std::atomic_bool &cancelled = false)
{
    if (!backup.extract(Backup::homeDomain, relativePath, target, cancelled))
        return false;
    for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")})
        backup.extract(Backup::homeDomain, relativePath + suffix, target + suffix, cancelled);
    return true;
}

} // namespace

void Backup::writeMessages(const QString &target, const std::atomic_bool &cancelled) const
{
    if (!extractDatabase(*this, messagesPath, target, cancelled))
        throw BackupError(BackupError::Kind::noMessages);
}

QList<ContactCard> Backup::contacts() const
{
    QList<ContactCard> cards;
    PrivateFolder folder;
    const QString path = folder.filePath(QStringLiteral("AddressBook.sqlitedb"));
    if (!extractDatabase(*this, addressBookPath, path))
        return cards;

    sqlite3 *db = nullptr;
    sqlite3_stmt *stmt = nullptr;
    const auto close = qScopeGuard([&] {
        sqlite3_finalize(stmt);
        sqlite3_close(db);
    });
    // Property 3 holds phone numbers, 4 e-mail addresses; people come in the book's own order.
    constexpr const char *query = "SELECT p.ROWID, p.First, p.Middle, p.Last, p.Organization, v.property, v.value\n"
                                  "FROM ABPerson p LEFT JOIN ABMultiValue v\n"
                                  "  ON v.record_id = p.ROWID AND v.property IN (3, 4)\n"
                                  "ORDER BY p.ROWID, v.UID";
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK
        || sqlite3_prepare_v2(db, query, -1, &stmt, nullptr) != SQLITE_OK)
        return cards;
    const auto column = [&stmt](int i) {
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, i))).trimmed();
    };
    qint64 person = -1;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        const qint64 rowId = sqlite3_column_int64(stmt, 0);
        if (rowId != person || cards.isEmpty()) {
            person = rowId;
            QStringList parts;
            for (int i : {1, 2, 3}) {
                if (const QString part = column(i); !part.isEmpty())
                    parts << part;
            }
            // As the phone shows a card: given, middle and family name, else the company.
            cards.append(ContactCard{parts.isEmpty() ? column(4) : parts.join(u' '), {}, {}});
        }
        const QString value = column(6);
        if (sqlite3_column_int(stmt, 5) == 3)
            cards.last().phones << value;
        else if (sqlite3_column_int(stmt, 5) == 4)
            cards.last().emails << value;
    }
    return cards;
}

void BackupContactSource::fetch(Delivery deliver)
{
    QList<ContactCard> cards;
    try {
        cards = m_backup->contacts();
    } catch (const BackupError &) {
        // A damaged address book only costs the names.
    }
    deliver(cards);
}
