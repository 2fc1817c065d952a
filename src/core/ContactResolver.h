#pragma once

#include <QCoroTask>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

// One contact as a source delivers it: the display name as the platform formats it
// (not yet trimmed), and its numbers and addresses as stored.
struct ContactCard {
    QString fullName;
    QStringList phones;
    QStringList emails;
};

// Where contacts come from: the Contacts framework on macOS, vCard files elsewhere.
class ContactSource {
public:
    using Delivery = std::function<void(const QList<ContactCard> &cards)>;

    virtual ~ContactSource() = default;
    // Hands every readable contact, in store order, to `deliver`: exactly once, from any thread,
    // and none when access is missing or refused. Called on a worker thread. A source that must
    // ask the user returns at once and delivers from the answer, so no thread waits on a prompt
    // that may never be answered.
    virtual void fetch(Delivery deliver) = 0;
};

std::unique_ptr<ContactSource> makePlatformContactSource();

// Immutable lookup from a Messages handle to a contact name.
class ContactResolver {
public:
    ContactResolver() = default;

    static ContactResolver fromCards(const QList<ContactCard> &cards);
    // Reads the platform's contacts off the main thread; never fails.
    static QCoro::Task<ContactResolver> loadFromContacts();
    static QCoro::Task<ContactResolver> loadFrom(std::shared_ptr<ContactSource> source);

    static QString normalizePhone(const QString &text);

    std::optional<QString> name(const QString &handle) const;

    qsizetype size() const { return m_byPhone.size() + m_byEmail.size(); }

private:
    QHash<QString, QString> m_byPhone;
    QHash<QString, QString> m_byEmail;
};
