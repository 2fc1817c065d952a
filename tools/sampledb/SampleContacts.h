#pragma once

#include <QString>
#include <QStringList>

// Writes a vCard file (CRLF lines, vCard 2.1, 3.0 and 4.0 mixed) that names about `namedFraction`
// of the handles, chosen by `seed` so a run can be repeated: a sample run then shows names for
// most conversations and raw handles for the rest. Numbers and addresses are written the way
// people save them, not as the handle reads (other punctuation, national form, other letter case).
// Creates missing folders; throws std::runtime_error when the file cannot be written.
void writeSampleContacts(const QString &vcfPath, const QStringList &handles, quint64 seed,
                         double namedFraction = 0.8);
