// iPhone backups against their floors, measured in the same run: unlocking with a phone's own
// key-derivation rounds against the same PBKDF2 rounds done bare with OpenSSL; opening the shared
// 1,000,000-message database as an encrypted backup up to the listing the picker shows, against
// decrypting its files with OpenSSL plus the listing's statements stepped bare.
#include "Backup.h"
#include "BackupWriter.h"
#include "BenchData.h"
#include "ChatDatabase.h"
#include "Floors.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

const QByteArray password = "correct horse battery staple";

// A phone's rounds: 10,000 of PBKDF2-SHA1 after 10,000,000 of PBKDF2-SHA256.
constexpr quint32 phoneIterations = 10'000;
constexpr quint32 phoneSha256Iterations = 10'000'000;

void deriveBare(const QByteArray &dpsl, const QByteArray &salt)
{
    unsigned char first[32];
    unsigned char kek[32];
    const auto *dpslBytes = reinterpret_cast<const unsigned char *>(dpsl.constData());
    const auto *saltBytes = reinterpret_cast<const unsigned char *>(salt.constData());
    if (PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()), dpslBytes, int(dpsl.size()),
                          int(phoneSha256Iterations), EVP_sha256(), 32, first) != 1
        || PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(first), 32, saltBytes, int(salt.size()), int(phoneIterations),
                             EVP_sha1(), 32, kek) != 1)
        throw std::runtime_error("PBKDF2 failed");
}

// AES-256-CBC of a whole file into another, in the reader's chunk size.
void decryptBare(const QString &from, const QString &to, const unsigned char *key)
{
    QFile in(from);
    QFile out(to);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot open a blob");
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    const unsigned char iv[16] = {};
    EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key, iv);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    QByteArray chunk(256 << 10, Qt::Uninitialized);
    QByteArray plain(chunk.size(), Qt::Uninitialized);
    for (qint64 got; (got = in.read(chunk.data(), chunk.size())) > 0;) {
        int length = 0;
        EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char *>(plain.data()), &length,
                          reinterpret_cast<const unsigned char *>(chunk.constData()), int(got));
        out.write(plain.constData(), length);
    }
}

QString blobOf(const QString &folder, const QString &relativePath)
{
    const QByteArray id = QCryptographicHash::hash((u"HomeDomain-"_qs + relativePath).toUtf8(), QCryptographicHash::Sha1).toHex();
    return folder + u'/' + QString::fromLatin1(id.left(2)) + u'/' + QString::fromLatin1(id);
}

} // namespace

int main()
{
    try {
        QTemporaryDir tmp;
        qputenv("TMPDIR", QFile::encodeName(tmp.path()));
        std::printf("median of %d rounds\n", rounds);

        // Unlocking: the key bag's rounds, the class keys and the file list's key.
        BackupOptions phone;
        phone.password = password;
        phone.iterations = phoneIterations;
        phone.sha256Iterations = phoneSha256Iterations;
        const QString keyed = tmp.path() + u"/keyed"_qs;
        writeBackup(keyed, {}, phone);
        QByteArray dpsl(20, Qt::Uninitialized);
        QByteArray salt(20, Qt::Uninitialized);
        RAND_bytes(reinterpret_cast<unsigned char *>(dpsl.data()), 20);
        RAND_bytes(reinterpret_cast<unsigned char *>(salt.data()), 20);
        std::unique_ptr<Backup> unlocked;
        const QList<Sample> unlock = compete({
            {[&] {
                 unlocked = std::make_unique<Backup>(keyed);
                 QByteArray typed = password;
                 unlocked->unlock(typed);
             },
             [&] { unlocked.reset(); }},
            {[&] { deriveBare(dpsl, salt); }},
        });
        report("unlocking (phone's rounds)", unlock[0], "bare PBKDF2 rounds", unlock[1], 1.05);
        unlocked.reset();

        // The shared history as an encrypted backup, opened up to the picker's listing.
        const BenchData &data = benchData();
        const QString folder = tmp.path() + u"/history"_qs;
        BackupOptions cheap;  // the rounds were measured above
        cheap.password = password;
        writeBackup(folder, messagesFiles(data.chatDbPath), cheap);
        const qint64 blobMiB = QFileInfo(blobOf(folder, Backup::messagesPath)).size() / (1024 * 1024);
        std::printf("backup: %lld messages, sms.db blob %lld MiB\n", qlonglong(data.summary.messages), qlonglong(blobMiB));
        Backup backup(folder);
        QByteArray typed = password;
        backup.unlock(typed);

        const QString plainCopy = tmp.path() + u"/plain"_qs;
        QDir().mkpath(plainCopy);
        if (runCp(databaseFiles(data.chatDbPath), plainCopy) != 0)
            throw std::runtime_error("cp failed");
        const QString decrypted = tmp.path() + u"/decrypted"_qs;
        const unsigned char anyKey[32] = {1};  // AES takes as long whatever the key
        QList<Conversation> conversations;
        const QList<Sample> opening = compete({
            {[&] {
                 const ChatDatabase snapshot([&backup](const QString &target) { backup.writeMessages(target); });
                 conversations = snapshot.loadConversations([](const QString &) { return std::nullopt; });
             }},
            {[&] {
                 QDir().mkpath(decrypted);
                 for (const QString &suffix : {QString(), u"-wal"_qs}) {
                     if (QFile::exists(blobOf(folder, Backup::messagesPath + suffix)))
                         decryptBare(blobOf(folder, Backup::messagesPath + suffix), decrypted + u"/sms.db"_qs + suffix, anyKey);
                 }
                 // Mapped, as the reader maps its snapshot: the floor keeps that advantage too.
                 sqlite3 *db = openBare(plainCopy + u"/chat.db"_qs, "PRAGMA mmap_size = 2147418112");
                 listBare(db);
                 sqlite3_close(db);
             },
             [&] { QDir(decrypted).removeRecursively(); }},
        });
        report("encrypted backup to picker", opening[0], "OpenSSL + bare (mmap)", opening[1], 1.15);
        std::printf("  %lld conversations listed\n", qlonglong(conversations.size()));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_backup: %s\n", e.what());
        return 1;
    }
    return 0;
}
