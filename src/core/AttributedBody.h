#pragma once

#include <QByteArrayView>
#include <QString>

#include <optional>

// Pulls the plain text out of a message's attributedBody archive without decoding the archive.
namespace AttributedBody {
std::optional<QString> extractText(QByteArrayView blob);
}
