// The user's contacts through the macOS Contacts framework; the rules for names, numbers and
// addresses are applied by ContactResolver, the permission rules by ContactsAccess.
#include "BundleInfo.h"
#include "ContactResolver.h"
#include "ContactsAccess.h"

#import <Contacts/Contacts.h>
#import <Foundation/Foundation.h>

namespace {
// Runs on a worker thread, which waits while the system's prompt is open; the answer may
// arrive on any thread.
bool askForAccess(CNContactStore *store)
{
    __block BOOL granted = NO;
    dispatch_semaphore_t answered = dispatch_semaphore_create(0);
    [store requestAccessForEntityType:CNEntityTypeContacts
                    completionHandler:^(BOOL allowed, NSError *error) {
                        Q_UNUSED(error)  // a refusal and a failure both mean no contacts
                        granted = allowed;
                        dispatch_semaphore_signal(answered);
                    }];
    dispatch_semaphore_wait(answered, DISPATCH_TIME_FOREVER);
    return granted;
}

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
        ContactCard card;
        card.fullName = QString::fromNSString(
            [CNContactFormatter stringFromContact:contact style:CNContactFormatterStyleFullName]);
        for (CNLabeledValue<CNPhoneNumber *> *phone in contact.phoneNumbers)
            card.phones.append(QString::fromNSString(phone.value.stringValue));
        for (CNLabeledValue<NSString *> *email in contact.emailAddresses)
            card.emails.append(QString::fromNSString(email.value));
        out->append(std::move(card));
    }]);
    return cards;
}

class ContactsStore final : public ContactSource {
public:
    QList<ContactCard> fetch() override
    {
        // Without this entry macOS ends the process at the first Contacts call.
        if (!bundleInfoValue("NSContactsUsageDescription").isValid())
            return {};
        @autoreleasepool {
            CNContactStore *store = [[CNContactStore alloc] init];
            const long status = long([CNContactStore authorizationStatusForEntityType:CNEntityTypeContacts]);
            if (!ContactsAccess::settle(status, [store] { return askForAccess(store); }))
                return {};
            return readAll(store);
        }
    }
};
} // namespace

std::unique_ptr<ContactSource> makePlatformContactSource()
{
    return std::make_unique<ContactsStore>();
}
