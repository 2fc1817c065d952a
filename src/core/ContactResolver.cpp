#include "ContactResolver.h"

#include "ContactsAccess.h"

#include <QCoroFuture>
#include <QPromise>
#include <QThreadPool>
#include <QVarLengthArray>

namespace {
// The first contact to claim a number or address keeps it.
void claim(QHash<QString, QString> &table, const QString &key, const QString &name)
{
    if (!key.isEmpty() && !table.contains(key))
        table.insert(key, name);
}
} // namespace

ContactsAccess::Decision ContactsAccess::decide(long status)
{
    switch (status) {
    case authorized:
        return Decision::read;
    case notDetermined:
        return Decision::ask;
    default:
        return Decision::refuse;
    }
}

ContactResolver ContactResolver::fromCards(const QList<ContactCard> &cards)
{
    ContactResolver resolver;
    for (const ContactCard &card : cards) {
        const QString name = card.fullName.trimmed();
        if (name.isEmpty())
            continue;
        for (const QString &phone : card.phones)
            claim(resolver.m_byPhone, normalizePhone(phone), name);
        for (const QString &email : card.emails)
            claim(resolver.m_byEmail, email.toLower(), name);
    }
    return resolver;
}

QCoro::Task<ContactResolver> ContactResolver::loadFromContacts()
{
    co_return co_await loadFrom(makePlatformContactSource());
}

QCoro::Task<ContactResolver> ContactResolver::loadFrom(std::shared_ptr<ContactSource> source)
{
    // The tables are built where the cards arrive, off the main thread as well.
    auto promise = std::make_shared<QPromise<ContactResolver>>();
    QFuture<ContactResolver> resolver = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([source = std::move(source), promise] {
        source->fetch([promise](const QList<ContactCard> &cards) {
            promise->addResult(fromCards(cards));
            promise->finish();
        });
    });
    co_return co_await resolver;
}

QString ContactResolver::normalizePhone(const QString &text)
{
    // Walk code points, not UTF-16 units: a digit beyond the BMP (mathematical digits) is a
    // surrogate pair and still one digit. Digits are kept as written, not mapped to ASCII.
    QVarLengthArray<char32_t, 32> digits;
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t point = text.at(i).unicode();
        if (QChar::isHighSurrogate(point) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            point = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
            ++i;
        }
        if (QChar::isDigit(point))
            digits.append(point);
    }
    // The last ten digits let +1 (555) 123-4567, 555 123 4567 and 0 555 123 4567 meet.
    const qsizetype kept = qMin<qsizetype>(digits.size(), 10);
    return QString::fromUcs4(digits.constData() + (digits.size() - kept), kept);
}

std::optional<QString> ContactResolver::name(const QString &handle) const
{
    const bool isEmail = handle.contains(u'@');
    const QString key = isEmail ? handle.toLower() : normalizePhone(handle);
    if (key.isEmpty())
        return std::nullopt;
    const QHash<QString, QString> &table = isEmail ? m_byEmail : m_byPhone;
    const auto it = table.constFind(key);
    if (it == table.cend())
        return std::nullopt;
    return *it;
}
