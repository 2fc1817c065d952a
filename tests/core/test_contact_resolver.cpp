#include "ContactResolver.h"
#include "ContactsAccess.h"
#include "VCard.h"

#include <QCoroTask>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <thread>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(ContactsAccess::Decision)

class TestContactResolver : public QObject {
    Q_OBJECT

private slots:
    void normalizePhone_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("key");
        QTest::newRow("international") << "+1 (555) 123-4567" << "5551234567";
        QTest::newRow("short, kept whole") << "555-1234" << "5551234";
        QTest::newRow("no digits") << "(--) +" << "";
        QTest::newRow("Arabic-Indic digits stay") << "+١ ٥٥٥ ١٢٣ ٤٥٦٧" << "٥٥٥١٢٣٤٥٦٧";
        // U+1D7CE..U+1D7D7: each digit is a surrogate pair; ten of them are twenty UTF-16 units.
        QString bold;
        for (char32_t digit : {1, 5, 5, 5, 1, 2, 3, 4, 5, 6, 7})
            bold += QString::fromUcs4(std::u32string(1, U'\U0001D7CE' + digit).data(), 1);
        QTest::newRow("digits beyond the BMP") << bold << bold.mid(2);
        QTest::newRow("lone surrogate dropped") << QString(QChar(0xD835)) + u"12"_s << u"12"_s;
    }

    void normalizePhone()
    {
        QFETCH(QString, text);
        QFETCH(QString, key);
        QCOMPARE(ContactResolver::normalizePhone(text), key);
    }

    void lookup_data()
    {
        QTest::addColumn<QString>("handle");
        QTest::addColumn<QString>("name");  // empty: no answer

        QTest::newRow("international handle") << "+15551234567" << "Anna Müller";
        QTest::newRow("handle with trunk zero") << "05551234567" << "Anna Müller";
        QTest::newRow("stored upper, handle lower") << "josé@example.com" << "José Álvarez";
        QTest::newRow("stored lower, handle upper") << "ZOE@Example.ORG" << "Zoë";
        QTest::newRow("e-mail handle never via phones") << "5551234567@example.com" << "";
        QTest::newRow("first claimant keeps a number") << "+44 7700 900123" << "First";
        QTest::newRow("first claimant keeps an address") << "shared@example.com" << "First";
        QTest::newRow("blank name claims nothing") << "+1 555 000 0000" << "Later";
        QTest::newRow("digit-free handle") << "ABC" << "";
        QTest::newRow("unknown number") << "+1 555 999 9999" << "";
    }

    void lookup()
    {
        QFETCH(QString, handle);
        QFETCH(QString, name);
        const ContactResolver resolver = ContactResolver::fromCards({
            {u"  Anna Müller\n"_s, {u"(555) 123-4567"_s, u"no number"_s}, {}},
            {u"José Álvarez"_s, {}, {u"José@EXAMPLE.com"_s}},
            {u"Zoë"_s, {}, {u"zoe@example.org"_s}},
            {u" \t\n "_s, {u"555 000 0000"_s}, {u"blank@example.com"_s}},
            {u"First"_s, {u"07700 900123"_s}, {u"Shared@example.com"_s}},
            {u"Second"_s, {u"+44 7700 900123"_s}, {u"shared@EXAMPLE.com"_s}},
            {u"Later"_s, {u"5550000000"_s}, {}},
        });
        QCOMPARE(resolver.name(handle).value_or(QString()), name);
    }

    void accessRules_data()
    {
        using ContactsAccess::Decision;
        QTest::addColumn<long>("status");  // the Contacts framework's numbering
        QTest::addColumn<Decision>("decision");
        QTest::newRow("not determined") << 0L << Decision::ask;
        QTest::newRow("restricted") << 1L << Decision::refuse;
        QTest::newRow("denied") << 2L << Decision::refuse;
        QTest::newRow("authorised") << 3L << Decision::read;
        QTest::newRow("limited (4), unknown here") << 4L << Decision::refuse;
    }

    void accessRules()
    {
        QFETCH(long, status);
        QFETCH(ContactsAccess::Decision, decision);
        QCOMPARE(ContactsAccess::decide(status), decision);
    }

    void loadsVCardFolderFromXdgDataHome()
    {
        QTemporaryDir data;
        const QByteArray old = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", data.path().toUtf8());
        const auto restore = qScopeGuard([&] { qputenv("XDG_DATA_HOME", old); });
        const auto load = [] {
            return QCoro::waitFor(ContactResolver::loadFrom(std::make_shared<VCardFolderSource>(VCard::standardFolder())));
        };
        QCOMPARE(load().size(), 0);  // no folder: no access

        QVERIFY(QDir(data.path()).mkpath(u"contacts/family"_s));
        auto write = [&](const QString &name, const QByteArray &text) {
            QFile file(data.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(text);
        };
        write(u"contacts/a.vcf"_s, "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Anna\r\nTEL:+1 555 123 4567\r\nEND:VCARD\r\n");
        write(u"contacts/family/b.vcf"_s, "BEGIN:VCARD\nVERSION:4.0\nFN:Mum\nEMAIL:Mum@Example.com\nEND:VCARD\n");
        write(u"contacts/notes.txt"_s, "BEGIN:VCARD\nVERSION:3.0\nFN:Ignored\nTEL:5550000000\nEND:VCARD\n");

        const ContactResolver resolver = load();
        QCOMPARE(resolver.name(u"5551234567"_s), u"Anna"_s);
        QCOMPARE(resolver.name(u"mum@example.com"_s), u"Mum"_s);
        QCOMPARE(resolver.name(u"5550000000"_s), std::nullopt);
    }

    void answerFromThePromptsThread()
    {
        // As the macOS source does when it must ask: fetch returns at once, and the cards come
        // later from a thread of the framework's, while the main thread keeps running.
        struct PromptingSource : ContactSource {
            std::atomic<QThread *> fetchedOn = nullptr;
            Delivery pending;
            void fetch(Delivery deliver) override
            {
                pending = std::move(deliver);
                fetchedOn = QThread::currentThread();
            }
        };
        auto source = std::make_shared<PromptingSource>();
        auto load = ContactResolver::loadFrom(source);
        QTRY_VERIFY(source->fetchedOn.load());
        QVERIFY(source->fetchedOn.load() != QThread::currentThread());
        QTRY_COMPARE(QThreadPool::globalInstance()->activeThreadCount(), 0);  // nobody waits on the prompt

        std::thread answer([&] { source->pending({{u"Anna"_s, {u"5551234567"_s}, {}}}); });
        const ContactResolver resolver = QCoro::waitFor(std::move(load));
        answer.join();
        QCOMPARE(resolver.name(u"+1 555 123 4567"_s), u"Anna"_s);
    }
};

QTEST_GUILESS_MAIN(TestContactResolver)
#include "test_contact_resolver.moc"
