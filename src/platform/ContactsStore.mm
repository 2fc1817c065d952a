// The user's contacts through the macOS Contacts framework; the rules for names, numbers and
// addresses are applied by ContactResolver, the permission rules by ContactsAccess.
#include "BundleInfo.h"
#include "ContactResolver.h"
#include "ContactsAccess.h"

#import <Contacts/Contacts.h>
#import <Foundation/Foundation.h>

namespace {
QList<ContactCard> readAll(CNContactStore *store)
{
    NSArray<id<CNKeyDescriptor>> *keys = @[
        [CNContactFormatter descriptorForRequiredKeysForStyle:CNContactFormatterStyleFullName],
        CNContactPhoneNumbersKey,
        CNContactEmailAddressesKey
    ];
    CNContactFetchRequest *request = [[CNContactFetchRequest alloc] initWithKeysToFetch:keys];

    QList<ContactCard> cards;
    QList<ContactCard> *out = &cards;  // a block captures C++ objects as const copies
    // A failure part-way keeps the contacts visited before it; the error tells the user nothing.
    static_cast<void>([store enumerateContactsWithFetchRequest:request
                                                         error:nil
                                                    usingBlock:^(CNContact *contact, BOOL *stop) {
        Q_UNUSED(stop)
        // The formatter's and the values' temporaries go with each contact, not with the book.
        @autoreleasepool {
            ContactCard card;
            card.fullName = QString::fromNSString(
                [CNContactFormatter stringFromContact:contact style:CNContactFormatterStyleFullName]);
            for (CNLabeledValue<CNPhoneNumber *> *phone in contact.phoneNumbers)
                card.phones.append(QString::fromNSString(phone.value.stringValue));
            for (CNLabeledValue<NSString *> *email in contact.emailAddresses)
                card.emails.append(QString::fromNSString(email.value));
            out->append(std::move(card));
        }
    }]);
    return cards;
}

class ContactsStore final : public ContactSource {
public:
    void fetch(Delivery deliver) override
    {
        // Without this entry macOS ends the process at the first Contacts call.
        if (!bundleInfoValue("NSContactsUsageDescription").isValid())
            return deliver({});
        @autoreleasepool {
            CNContactStore *store = [[CNContactStore alloc] init];
            const long status = long([CNContactStore authorizationStatusForEntityType:CNEntityTypeContacts]);
            switch (ContactsAccess::decide(status)) {
            case ContactsAccess::Decision::read:
                return deliver(readAll(store));
            case ContactsAccess::Decision::refuse:
                return deliver({});
            case ContactsAccess::Decision::ask:
                break;
            }
            // The answer comes on a queue of the framework's choosing, whenever the user gives it;
            // no thread waits for it, so quitting with the prompt open does not hang.
            const auto pending = std::make_shared<Delivery>(std::move(deliver));
            [store requestAccessForEntityType:CNEntityTypeContacts
                            completionHandler:^(BOOL granted, NSError *error) {
                                Q_UNUSED(error)  // a refusal and a failure both mean no contacts
                                @autoreleasepool {
                                    (*pending)(granted ? readAll(store) : QList<ContactCard>());
                                }
                            }];
        }
    }
};
} // namespace

std::unique_ptr<ContactSource> makePlatformContactSource()
{
    return std::make_unique<ContactsStore>();
}
