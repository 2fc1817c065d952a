#pragma once

#include "ContactResolver.h"

#include <QByteArrayView>
#include <QList>
#include <QString>

// Contacts kept as vCard files (2.1, 3.0 and 4.0), the way address books on Linux store them.
namespace VCard {
// Every well-formed card in the data, in order. A malformed card (no END, a line that is not a
// property) is left out; the cards around it still count.
QList<ContactCard> parse(QByteArrayView data);

// Every *.vcf file under the folder, sub-folders included, in path order; a missing folder
// gives nothing.
QList<ContactCard> readFolder(const QString &folder);

// $XDG_DATA_HOME/contacts, by default ~/.local/share/contacts.
QString standardFolder();
} // namespace VCard

class VCardFolderSource : public ContactSource {
public:
    explicit VCardFolderSource(QString folder) : m_folder(std::move(folder)) {}
    void fetch(Delivery deliver) override { deliver(VCard::readFolder(m_folder)); }

private:
    QString m_folder;
};
