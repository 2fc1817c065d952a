// libFuzzer target: raw dates, sender flags, texts and bodies of a corrupted database go
// through the snapshot, the listing, the loading and the transcript without undefined behaviour.
// Input: records of an 8-byte raw date, a flag byte (bit 0 from me, bit 1 body instead of
// text, bit 2 second chat), a length byte and that many bytes.
#include "ChatDatabase.h"
#include "FixtureDb.h"
#include "Transcript.h"

#include <QTemporaryDir>

#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // One live database for the whole run, as Messages keeps it: each input replaces its messages.
    static QTemporaryDir dir;
    static const QString path = dir.filePath(QStringLiteral("chat.db"));
    static FixtureDb db(path);
    // One partner, two chats: the listing merges their dates.
    static const QString partner = QStringLiteral("+15551230001");
    static const qint64 chats[] = {db.addChat({db.addHandle(partner)}),
                                   db.addChat({db.addHandle(partner, QStringLiteral("SMS"))}, QStringLiteral("SMS"))};
    sqlite3_exec(db.handle(), "DELETE FROM chat_message_join; DELETE FROM message", nullptr, nullptr, nullptr);
    db.begin();
    for (size_t at = 0; at + 10 <= size;) {
        qint64 raw = 0;
        std::memcpy(&raw, data + at, sizeof raw);
        const uint8_t flags = data[at + 8];
        const size_t length = std::min<size_t>(data[at + 9], size - at - 10);
        const QByteArray bytes(reinterpret_cast<const char *>(data + at + 10), qsizetype(length));
        at += 10 + length;
        const qint64 chat = chats[(flags >> 2) & 1];
        if (flags & 2)
            db.addMessage(chat, raw, (flags & 1) != 0, std::nullopt, bytes);
        else
            db.addMessage(chat, raw, (flags & 1) != 0, QString::fromUtf8(bytes));
    }
    db.commit();

    // Every stamp, whatever the raw date, is a defined four-digit-year text.
    const ChatDatabase snapshot(path);
    for (const Conversation &conversation : snapshot.loadConversations([](const QString &) { return std::nullopt; })) {
        for (const auto &date : {conversation.firstMessageDate, conversation.lastMessageDate}) {
            if (!date || DateFmt::isoFormatter().string(*date).size() != 19)
                std::abort();
        }
        const QList<ChatMessage> messages = snapshot.loadMessages(conversation);
        for (const ChatMessage &message : messages) {
            if (DateFmt::stampFormatter().string(*message.date).size() != 16)
                std::abort();
        }
        Transcript::build(messages, conversation.displayName);
    }
    return 0;
}
