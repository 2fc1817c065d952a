#include "SampleDatabase.h"

#include "FixtureDb.h"

#include <QSet>

#include <array>
#include <stdexcept>

namespace {

// SplitMix64: tiny, and the same sequence on every platform and standard library.
class Rng {
public:
    explicit Rng(quint64 seed) : m_state(seed) {}
    quint64 next()
    {
        quint64 z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    qint64 below(qint64 n) { return qint64(next() % quint64(n)); }
    bool percent(int p) { return below(100) < p; }
    double unit() { return double(next() >> 11) / double(1ULL << 53); }
    template <typename T, size_t N> const T &pick(const std::array<T, N> &items) { return items[size_t(below(N))]; }

private:
    quint64 m_state;
};

constexpr std::array<const char16_t *, 24> firstNames{
    u"Zoë", u"José", u"Åsa", u"Anaïs", u"Łukasz", u"Søren", u"Noa", u"יעל", u"محمد", u"Chloé", u"Renée", u"Björn",
    u"Mei", u"Aarav", u"Oliver", u"Amelia", u"Mateo", u"Ingrid", u"Kwame", u"Siobhán", u"François", u"Yuki",
    u"Dmitri", u"Leïla"};
constexpr std::array<const char16_t *, 20> lastNames{
    u"García", u"Müller", u"Nakamura", u"O'Brien", u"Kowalski", u"Núñez", u"Ødegaard", u"Smith", u"Dubois",
    u"Rossi", u"Cohen", u"Haddad", u"Kim", u"Novák", u"Silva", u"Lefèvre", u"Andersson", u"Okafor", u"Brennan",
    u"Çelik"};
constexpr std::array<const char *, 6> mailDomains{"icloud.com", "gmail.com", "me.com", "outlook.com",
                                                  "example.org", "mac.com"};
constexpr std::array<const char16_t *, 40> phrases{
    u"On my way!", u"Running ten minutes late, sorry", u"ok", u"Sounds good 👍", u"Haha 😂😂",
    u"Can you pick up milk on the way home?", u"Did you see the game last night?", u"Love you ❤️",
    u"Ça marche, à tout à l'heure !", u"¿Dónde estás?", u"Grüße aus München", u"Tak for i går, det var hyggeligt",
    u"שלום, מה שלומך?", u"مرحبا، كيف حالك؟", u"今日は寒いですね", u"Happy birthday!!! 🎂🎉",
    u"Call me when you get this", u"Where did we park?", u"👍", u"I'll be there at 7",
    u"Can't talk now, in a meeting", u"Thanks so much for dinner, it was lovely",
    u"The flight lands at 18:45, gate B12", u"🇫🇷 vs 🇧🇷 tonight?", u"Naïve question: is the café open on Sundays?",
    u"👨‍👩‍👧‍👦 family photo coming up", u"Yes", u"No worries", u"lol", u"Just landed ✈️",
    u"Remember to bring the charger", u"Good night 🌙", u"See you tomorrow", u"Who's bringing the salad?",
    u"The address is 12 Rue de la Paix", u"Meeting moved to Thursday", u"Did the package arrive?",
    u"Zażółć gęślą jaźń", u"Ωραία, ευχαριστώ!", u"Ok 👌🏽"};

enum class Kind { textAndBody, bodyOnly, emptyTextBody, textOnly, neither, whitespace, emptyNoBody, hugeBody };

Kind randomKind(Rng &rng)
{
    const qint64 r = rng.below(1000);
    if (r < 700)
        return Kind::textAndBody;
    if (r < 850)
        return Kind::bodyOnly;
    if (r < 880)
        return Kind::emptyTextBody;
    if (r < 950)
        return Kind::textOnly;
    if (r < 975)
        return Kind::neither; // attachments, reactions and other rows without text
    if (r < 990)
        return Kind::whitespace;
    return Kind::emptyNoBody;
}

QString messageText(Rng &rng)
{
    const bool longOne = rng.percent(4); // past 127 bytes: the 0x81 length form
    const qint64 parts = longOne ? 6 + rng.below(10) : 1 + rng.below(3);
    const QString separator = rng.percent(10) ? QStringLiteral("\n") : QStringLiteral(" ");
    QString text;
    for (qint64 i = 0; i < parts; ++i) {
        if (i)
            text += separator;
        text += QString::fromUtf16(rng.pick(phrases));
    }
    return text;
}

struct Person {
    QString id;
    QString service;
    QString name;
    bool secondsDates = false;
    qint64 handleRow = 0;
};

struct Chat {
    qint64 id = 0;
    QList<qint64> members;
    bool secondsDates = false;
};

QString makeId(Rng &rng, const QString &name, int index, bool &phone)
{
    phone = index == 0 || rng.percent(65);
    if (!phone) {
        QString local = name.normalized(QString::NormalizationForm_KD).toLower();
        local.removeIf([](QChar c) { return c.unicode() > 0x7F || !(c.isLetter() || c == u' '); });
        local = local.simplified().replace(u' ', u'.');
        if (local.isEmpty() || local.startsWith(u'.'))
            local = QStringLiteral("friend");
        return QStringLiteral("%1%2@%3").arg(local).arg(index).arg(QLatin1String(rng.pick(mailDomains)));
    }
    switch (rng.below(10)) {
    case 0:
        return QStringLiteral("+44 7%1").arg(rng.below(1'000'000'000), 9, 10, QLatin1Char('0'));
    case 1:
        return QStringLiteral("+33 6%1").arg(rng.below(100'000'000), 8, 10, QLatin1Char('0'));
    case 2: // stored without country prefix, as older SMS threads are
        return QStringLiteral("555%1").arg(rng.below(10'000'000), 7, 10, QLatin1Char('0'));
    default:
        return QStringLiteral("+1555%1").arg(rng.below(10'000'000), 7, 10, QLatin1Char('0'));
    }
}

} // namespace

SampleSummary writeSampleDatabase(const QString &chatDbPath, const SampleOptions &o)
{
    if (o.handles < 2 || o.directChats < 5 || o.directChats > o.handles + o.handles / 10
        || o.longConversationMessages < 8 || o.walMessages < 2
        || o.messages < o.longConversationMessages + o.walMessages + o.directChats + o.groupChats)
        throw std::runtime_error("sample options out of range");

    Rng rng(o.seed);
    SampleSummary summary;
    FixtureDb db(chatDbPath);
    db.beginBulkLoad();
    db.begin();

    const auto addHandle = [&](const QString &id, const QString &service, const QString &name, bool nullId) {
        const qint64 row = db.addHandle(id, service, nullId);
        summary.handles.append({row, id, service, name, nullId});
        return row;
    };

    QList<Person> people;
    QSet<QString> usedIds;
    for (int i = 0; i < o.handles; ++i) {
        Person p;
        p.name = QString::fromUtf16(rng.pick(firstNames)) + u' ' + QString::fromUtf16(rng.pick(lastNames));
        bool phone = false;
        do
            p.id = makeId(rng, p.name, i, phone);
        while (usedIds.contains(p.id));
        usedIds.insert(p.id);
        p.service = phone && rng.percent(20) ? QStringLiteral("SMS") : QStringLiteral("iMessage");
        p.secondsDates = i > 0 && rng.percent(o.secondsDatedPercent);
        p.handleRow = addHandle(p.id, p.service, p.name, false);
        people.append(p);
    }

    // One-to-one chats: the long partner over two services, the empty and NULL handles, one
    // chat that never gets a message, then one per person (with an SMS twin now and then).
    QList<Chat> directs;
    QList<qint64> quietChats;
    const auto addDirect = [&](const Person &p, qint64 handleRow, const QString &service) {
        Chat c{db.addChat({handleRow}, service), {handleRow}, p.secondsDates};
        directs.append(c);
        return c.id;
    };
    const Person &partner = people[0];
    summary.longPartner = partner.id;
    summary.longChatIds = {addDirect(partner, partner.handleRow, QStringLiteral("iMessage")),
                           addDirect(partner, addHandle(partner.id, QStringLiteral("SMS"), partner.name, false),
                                     QStringLiteral("SMS"))};
    const qint64 emptyRow = addHandle(QString(), QStringLiteral("SMS"), QString(), false);
    addDirect(Person{}, emptyRow, QStringLiteral("SMS"));
    const qint64 nullRow = addHandle(QString(), QStringLiteral("iMessage"), QString(), true);
    addDirect(Person{}, nullRow, QStringLiteral("iMessage"));
    quietChats.append(db.addChat({people[1].handleRow}, people[1].service));
    for (int i = 2; i < o.handles && directs.size() + quietChats.size() < o.directChats; ++i) {
        const Person &p = people[i];
        addDirect(p, p.handleRow, p.service);
        if (p.service == u"iMessage" && p.id.startsWith(u'+') && i % 13 == 5
            && directs.size() + quietChats.size() < o.directChats)
            addDirect(p, addHandle(p.id, QStringLiteral("SMS"), p.name, false), QStringLiteral("SMS"));
    }
    summary.directChats = int(directs.size() + quietChats.size());

    // Group chats draw mostly on people who also have one-to-one chats.
    QList<Chat> groups;
    for (int g = 0; g < o.groupChats; ++g) {
        const qint64 size = g == 0 ? 2 : 2 + rng.below(7);
        QList<qint64> members;
        if (g == 1)
            members.append(partner.handleRow);
        while (members.size() < size) {
            const qint64 row = people[int(rng.below(o.handles))].handleRow;
            if (!members.contains(row))
                members.append(row);
        }
        groups.append({db.addChat(members), members, false});
    }
    summary.groupChats = int(groups.size());

    // Everyone else shares the rest, a few chats taking most of it, as in real histories.
    QList<Chat> others = directs.mid(2);
    others.append(groups);
    const qint64 regular = o.messages - o.walMessages;
    qint64 longLeft = o.longConversationMessages - 1; // the last one is written to the -wal file
    qint64 longIndex = 0;
    constexpr qint64 start = 473'299'200;   // 2016-01-01
    constexpr qint64 end = 783'648'000;     // 2025-11-01
    const double step = double(end - start) / double(o.messages);

    const auto write = [&](const Chat &chat, qint64 i, Kind kind) {
        const double seconds = double(start) + step * (double(i) + rng.unit() * 0.9);
        const qint64 raw = chat.secondsDates ? qint64(seconds) : qint64(seconds * 1e9);
        const bool fromMe = rng.percent(45);
        const qint64 sender = chat.members.size() == 1 ? chat.members[0]
            : fromMe                                   ? 0
                                                       : chat.members[int(rng.below(chat.members.size()))];
        QString text = kind == Kind::hugeBody ? QString(17000, u'é') + QStringLiteral(" the end 🏁") : messageText(rng);
        std::optional<QString> column;
        std::optional<QByteArray> body;
        switch (kind) {
        case Kind::textAndBody:
            column = text;
            body = FixtureDb::archiveBody(text);
            break;
        case Kind::bodyOnly:
        case Kind::hugeBody:
            body = FixtureDb::archiveBody(text);
            break;
        case Kind::emptyTextBody:
            column = QString(u""_qs);
            body = FixtureDb::archiveBody(text);
            break;
        case Kind::textOnly:
            column = text;
            break;
        case Kind::neither:
            break;
        case Kind::whitespace:
            column = QStringLiteral(" \n\t ");
            body = FixtureDb::archiveBody(text);
            break;
        case Kind::emptyNoBody:
            column = QString(u""_qs);
            break;
        }
        db.addMessage(chat.id, raw, fromMe, column, body, sender);
        ++summary.messages;
    };

    // The first messages of each special chat walk through every kind of row once.
    const auto kindFor = [&](qint64 indexInChat) {
        return indexInChat <= qint64(Kind::hugeBody) ? Kind(indexInChat) : randomKind(rng);
    };
    qint64 emptyIndex = 0;
    qint64 nullIndex = 0;
    for (qint64 i = 0; i < regular; ++i) {
        if (rng.below(regular - i) < longLeft) {
            --longLeft;
            write(directs[rng.percent(85) ? 0 : 1], i, kindFor(longIndex++));
            ++summary.longMessages;
        } else if (i % 997 == 11) {
            write(directs[2 + (i / 997) % 2], i, kindFor((i / 997) % 2 ? nullIndex++ : emptyIndex++));
        } else {
            // Skewed: u^3 piles the picks onto the first chats of the list.
            const double u = rng.unit();
            write(others[qint64(u * u * u * double(others.size()))], i, randomKind(rng));
        }
        if (i % 50'000 == 49'999) {
            db.commit();
            db.begin();
        }
    }
    db.commit();
    db.endBulkLoad();

    // The newest rows stay in chat.db-wal, as they do while Messages runs: a new partner and
    // late messages in existing chats, the long conversation's included.
    db.keepWal();
    db.begin();
    const QString walId = QStringLiteral("+15559990000");
    summary.walOnlyPartner = walId;
    const qint64 walRow = addHandle(walId, QStringLiteral("iMessage"), QStringLiteral("Wal Newcomer"), false);
    const Chat walChat{db.addChat({walRow}), {walRow}, false};
    for (qint64 i = regular; i < o.messages; ++i) {
        const bool newest = i == o.messages - 1;
        const Chat &chat = newest ? walChat : i == regular ? directs[0] : others[int(rng.below(others.size()))];
        if (i == regular)
            ++summary.longMessages;
        write(chat, i, newest || i == regular ? Kind::textAndBody : randomKind(rng));
        ++summary.walMessages;
    }
    db.commit();
    db.close();
    return summary;
}
