// The sample database and its vCard file together: a demo run names most conversations.
#include "ChatDatabase.h"
#include "ContactResolver.h"
#include "SampleContacts.h"
#include "SampleDatabase.h"
#include "VCard.h"

#include <QTemporaryDir>
#include <QTest>

class TestSampleContacts : public QObject {
    Q_OBJECT

private slots:
    void mostConversationsCarryNames()
    {
        QTemporaryDir dir;
        const SampleSummary summary = writeSampleDatabase(dir.filePath("chat.db"), SampleOptions{});
        QStringList handles;
        for (const SampleHandle &handle : summary.handles) {
            if (!handle.id.isEmpty() && !handles.contains(handle.id))
                handles.append(handle.id);
        }
        writeSampleContacts(dir.filePath("contacts/sample.vcf"), handles, 7);

        const ContactResolver names = ContactResolver::fromCards(VCard::readFolder(dir.filePath("contacts")));
        const ChatDatabase snapshot(dir.filePath("chat.db"));
        const QList<Conversation> listed =
            snapshot.loadConversations([&](const QString &handle) { return names.name(handle); });
        QVERIFY(listed.size() > 50);
        const auto named = std::count_if(listed.begin(), listed.end(),
                                         [](const Conversation &c) { return c.displayName != c.handle; });
        // About four in five are named, and some stay raw handles.
        QVERIFY2(named >= listed.size() * 6 / 10 && named < listed.size(),
                 qPrintable(QStringLiteral("%1 of %2 named").arg(named).arg(listed.size())));
    }
};

QTEST_GUILESS_MAIN(TestSampleContacts)
#include "test_sample_contacts.moc"
