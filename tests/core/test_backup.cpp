#include "Backup.h"
#include "BackupWriter.h"
#include "ChatDatabase.h"
#include "TestEnv.h"

#include <QDirIterator>
#include <QProcess>
#include <QSettings>
#include <QTest>

#include <sqlite3.h>

#include <functional>

#include <sys/stat.h>

namespace {

const QString samples = QStringLiteral(VELLORA_BACKUP_SAMPLES);
const QByteArray password = "correct horse \xc3\xbc";

// Names the phone's address book gives: full-name order, the first claimant of a number keeping it.
const QList<AddressBookPerson> people = {
    {u"Mary"_qs, u"Ann"_qs, u"Smith"_qs, {}, {u"(555) 123-0001"_qs}, {}},
    {u"  "_qs, {}, {}, {}, {u"555 123 0002"_qs}, {}},
    {u"Second"_qs, {}, u"Claimant"_qs, {}, {u"+1 555-123-0001"_qs}, {}},
    {{}, {}, {}, u"Acme Corp"_qs, {}, {u"Friend@Example.COM"_qs}},
};

// What happens to the written backup before it is read.
using Damage = std::function<void(const QString &folder)>;

void overwrite(const QString &path, qint64 at, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    file.seek(at);
    file.write(bytes);
}

QString blobOf(const QString &folder, const QString &domainPath)
{
    const QByteArray id = QCryptographicHash::hash(domainPath.toUtf8(), QCryptographicHash::Sha1).toHex();
    return folder + u'/' + QString::fromLatin1(id.left(2)) + u'/' + QString::fromLatin1(id);
}

} // namespace

class TestBackup : public QObject {
    Q_OBJECT

    std::unique_ptr<ScopedHome> m_home;
    QString m_folder;

    void writeFixture(bool encrypted, bool withMessages = true)
    {
        writeTwoPartners(m_home->chatDbPath());
        const QString book = m_home->home() + u"/AddressBook.sqlitedb"_qs;
        writeAddressBook(book, people);
        QList<BackupFile> files = withMessages ? messagesFiles(m_home->chatDbPath()) : QList<BackupFile>();
        files.append({u"HomeDomain"_qs, u"Library/AddressBook/AddressBook.sqlitedb"_qs, book});
        BackupOptions options;
        if (encrypted)
            options.password = password;
        m_folder = m_home->home() + u"/backups/00008110-0001"_qs;
        writeBackup(m_folder, files, options);
    }

    // The snapshot of the backup's messages, unlocking it first with `pass` when it is locked.
    std::unique_ptr<ChatDatabase> snapshot(const QByteArray &pass = password)
    {
        Backup backup(m_folder);
        QByteArray copy = pass;
        if (backup.isLocked())
            backup.unlock(copy);
        return std::make_unique<ChatDatabase>([&backup](const QString &target) { backup.writeMessages(target); });
    }

private slots:
    void init() { m_home = std::make_unique<ScopedHome>(); }
    void cleanup()
    {
        QCOMPARE(m_home->snapshotDirs(), QStringList());
        m_home.reset();
    }

    void readsEachKind_data()
    {
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("plain") << false;
        QTest::newRow("encrypted") << true;
    }
    void readsEachKind()
    {
        QFETCH(bool, encrypted);
        writeFixture(encrypted);
        const std::optional<BackupInfo> info = Backup::describe(m_folder);
        QVERIFY(info);
        QCOMPARE(info->deviceName, u"Test iPhone"_qs);
        QCOMPARE(info->iosVersion, u"17.5"_qs);
        QCOMPARE(info->date, RefDate(817'983'000));  // 3 Dec 2026 09:30 UTC
        QCOMPARE(info->encrypted, encrypted);

        // The same listing and, byte for byte, the same transcript as the database itself.
        const auto noNames = [](const QString &) { return std::optional<QString>(); };
        const QList<Conversation> expected = ChatDatabase(m_home->chatDbPath()).loadConversations(noNames);
        const auto fromBackup = snapshot();
        QCOMPARE(fromBackup->loadConversations(noNames), expected);
        const QByteArray transcript = transcriptOf(*fromBackup, mumHandle);
        QVERIFY(transcript.contains("Caf\xc3\xa9"));
        QCOMPARE(transcript, transcriptOf(m_home->chatDbPath(), mumHandle));

        auto backup = std::make_shared<Backup>(m_folder);
        QByteArray pass = password;
        backup->unlock(pass);
        QVERIFY(pass.isEmpty());
        QList<ContactCard> cards;
        BackupContactSource(backup).fetch([&cards](const QList<ContactCard> &delivered) { cards = delivered; });
        const ContactResolver names = ContactResolver::fromCards(cards);
        QCOMPARE(names.name(mumHandle), u"Mary Ann Smith"_qs);
        QCOMPARE(names.name(u"5551230002"_qs), std::nullopt);
        QCOMPARE(names.name(u"friend@example.com"_qs), u"Acme Corp"_qs);
    }

    void failures_data()
    {
        QTest::addColumn<bool>("encrypted");
        QTest::addColumn<QByteArray>("pass");
        QTest::addColumn<Damage>("damage");
        QTest::addColumn<QString>("error");
        const Damage none = [](const QString &) {};
        QTest::newRow("wrong password") << true << QByteArray("correct horse") << none << u"That password didn't work."_qs;
        QTest::newRow("truncated encrypted file")
            << true << password << Damage([](const QString &folder) {
                   const QString blob = blobOf(folder, u"HomeDomain-Library/SMS/sms.db"_qs);
                   QVERIFY(QFile::resize(blob, QFileInfo(blob).size() - 4096));
               })
            << u"Couldn't read the iPhone backup: a file in it is cut short."_qs;
        QTest::newRow("FIFO in a file's place")
            << true << password << Damage([](const QString &folder) {
                   const QString blob = blobOf(folder, u"HomeDomain-Library/SMS/sms.db"_qs);
                   QVERIFY(QFile::remove(blob) && ::mkfifo(QFile::encodeName(blob).constData(), 0600) == 0);
               })
            << u"Couldn't read the iPhone backup: a file in it can't be read."_qs;
        QTest::newRow("corrupt Manifest.db")
            << false << password << Damage([](const QString &folder) {
                   overwrite(folder + u"/Manifest.db"_qs, 100, QByteArray(4000, '\xff'));
               })
            << u"Couldn't read the iPhone backup: its file list is damaged."_qs;
        QTest::newRow("file id not a hash")
            << false << password << Damage([](const QString &folder) {
                   sqlite3 *db = nullptr;
                   sqlite3_open(QFile::encodeName(folder + u"/Manifest.db"_qs).constData(), &db);
                   sqlite3_exec(db, "UPDATE Files SET fileID = '../../etc/passwd' WHERE relativePath = 'Library/SMS/sms.db'", nullptr, nullptr, nullptr);
                   sqlite3_close(db);
               })
            << u"Couldn't read the iPhone backup: its file list is damaged."_qs;
        QTest::newRow("key bag cut") << true << password << Damage([](const QString &folder) {
            overwrite(folder + u"/Manifest.plist"_qs, 60, QByteArray(40, '\x7f'));
        }) << u"Couldn't read the iPhone backup: its key bag is damaged."_qs;
    }
    void failures()
    {
        QFETCH(bool, encrypted);
        QFETCH(QByteArray, pass);
        QFETCH(Damage, damage);
        QFETCH(QString, error);
        writeFixture(encrypted);
        damage(m_folder);
        try {
            snapshot(pass);
            QFAIL("read a damaged backup");
        } catch (const BackupError &e) {
            QCOMPARE(e.errorDescription(), error);
        }
    }

    void noMessages()
    {
        writeFixture(true, false);
        try {
            snapshot();
            QFAIL("no messages, no snapshot");
        } catch (const BackupError &e) {
            QCOMPARE(e.errorDescription(), u"This backup holds no messages."_qs);
        }
    }

    void discovery()
    {
        QCoreApplication::setOrganizationName(u"VelloraTest"_qs);
        const QString parent = m_home->home() + u"/phones"_qs;
        BackupOptions older;
        older.deviceName = u"Old Phone"_qs;
        older.date = QDateTime(QDate(2025, 1, 2), QTime(8, 0), Qt::UTC);
        writeBackup(parent + u"/A"_qs, {}, older);
        BackupOptions newer;
        newer.password = "x";
        writeBackup(parent + u"/B"_qs, {}, newer);
        QDir().mkpath(parent + u"/not-a-backup"_qs);
        Backup::rememberFolder(parent);
        Backup::rememberFolder(parent + u'/');
        QCOMPARE(Backup::rememberedFolders(), QStringList{parent});
        QStringList found;
        for (const BackupInfo &info : Backup::discover(Backup::standardFolders()))
            found << info.deviceName + (info.encrypted ? u" locked"_qs : QString());
        QCOMPARE(found, (QStringList{u"Test iPhone locked"_qs, u"Old Phone"_qs}));
    }

    // A real iPhone 9,3 backup of iOS 14.3 with a cut-down sms.db.
    void realPlainSample()
    {
        const QString folder = samples + u"/mvt-ios_backup"_qs;
        const Backup backup(folder);
        QCOMPARE(backup.info().iosVersion, u"14.3"_qs);
        QVERIFY(!backup.isLocked());
        QCOMPARE(backup.fileCount(), 3721);
        const PrivateFolder work;
        const QString smsDb = work.filePath(u"sms.db"_qs);
        backup.writeMessages(smsDb);
        sqlite3 *db = nullptr;
        sqlite3_stmt *stmt = nullptr;
        sqlite3_open_v2(QFile::encodeName(smsDb).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_prepare_v2(db, "SELECT date, text FROM message", -1, &stmt, nullptr);
        QCOMPARE(sqlite3_step(stmt), SQLITE_ROW);
        QCOMPARE(RefDates::toDateTime(RefDates::fromRaw(sqlite3_column_int64(stmt, 0))).toString(Qt::ISODate),
                 u"2019-08-29T23:13:30Z"_qs);
        QVERIFY(QByteArray(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 1))).contains("https://badbadbad.example.org/"));
        sqlite3_finalize(stmt);
        sqlite3_close(db);
    }

    // A synthetic encrypted backup whose password is 0000: one file, "Test data".
    void realEncryptedSample()
    {
        const QString source = samples + u"/pyiosbackup"_qs;
        const QString folder = m_home->home() + u"/pyiosbackup"_qs;
        QDir().mkpath(folder + u"/57"_qs);
        const auto read = [&source](const QString &name) {
            QFile f(source + u'/' + name);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        };
        QFile manifest(folder + u"/Manifest.plist"_qs);
        QVERIFY(manifest.open(QIODevice::WriteOnly));
        manifest.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                       "<key>BackupKeyBag</key><data>" + read(u"BackupKeyBag.bin"_qs).toBase64()
                       + "</data><key>IsEncrypted</key><true/><key>Lockdown</key><dict><key>ProductVersion</key>"
                         "<string>10.3</string></dict><key>ManifestKey</key><data>"
                       + read(u"ManifestKey.bin"_qs).toBase64() + "</data></dict></plist>");
        manifest.close();
        QVERIFY(QFile::copy(source + u"/encrypted_sqlite3_db.bin"_qs, folder + u"/Manifest.db"_qs));
        const QString blob = u"57/5727bd1c5fa1055e15d8b4a75a74793c84b5ffdc"_qs;
        QVERIFY(QFile::copy(source + u'/' + blob, folder + u'/' + blob));

        for (const QByteArray &attempt : {QByteArray("1234"), QByteArray("0000")}) {
            Backup backup(folder);
            QVERIFY(backup.info().encrypted);
            QCOMPARE(backup.info().iosVersion, u"10.3"_qs);
            QByteArray pass = attempt;
            try {
                backup.unlock(pass);
            } catch (const BackupError &e) {
                QCOMPARE(e.kind(), BackupError::Kind::wrongPassword);
                QCOMPARE(attempt, "1234");
                continue;
            }
            QCOMPARE(attempt, "0000");
            const PrivateFolder work;
            QVERIFY(backup.extract(u"MyTestDomain"_qs, u"Media/Test.txt"_qs, work.filePath(u"t"_qs)));
            QFile out(work.filePath(u"t"_qs));
            QVERIFY(out.open(QIODevice::ReadOnly));
            QCOMPARE(out.readAll(), "Test data");
        }
    }

    // A real iOS 15 address book: nine people, seven phone numbers written as displayed.
    void realAddressBook()
    {
        const QString unpacked = m_home->home() + u"/unpacked"_qs;
        QCOMPARE(QProcess::execute(u"unzip"_qs, {u"-q"_qs, u"-o"_qs, samples + u"/ileapp-addressbook/testdata.addressBook.addressBook.josh_ios15_ffs.zip"_qs,
                                                 u"-d"_qs, unpacked}),
                 0);
        QString book;
        QDirIterator it(unpacked, {u"AddressBook.sqlitedb"_qs}, QDir::Files, QDirIterator::Subdirectories);
        QVERIFY(it.hasNext());
        book = it.next();
        QList<BackupFile> files;
        for (const QString &suffix : {QString(), u"-wal"_qs, u"-shm"_qs})
            files.append({u"HomeDomain"_qs, u"Library/AddressBook/AddressBook.sqlitedb"_qs + suffix, book + suffix});
        m_folder = m_home->home() + u"/josh"_qs;
        writeBackup(m_folder, files);
        const QList<ContactCard> cards = Backup(m_folder).contacts();
        QCOMPARE(cards.size(), 9);
        qsizetype phones = 0;
        for (const ContactCard &card : cards)
            phones += card.phones.size();
        QCOMPARE(phones, 7);
    }
};

QTEST_GUILESS_MAIN(TestBackup)
#include "test_backup.moc"
