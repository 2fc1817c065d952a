#include "VCard.h"

#include <QDirIterator>
#include <QFile>
#include <QStandardPaths>
#include <QStringDecoder>

#include <unicode/ucnv.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

namespace {
bool startsWithCI(QByteArrayView text, QByteArrayView prefix)
{
    return text.size() >= prefix.size() && text.first(prefix.size()).compare(prefix, Qt::CaseInsensitive) == 0;
}

// BEGIN:VCARD or END:VCARD, whatever the case, with stray trailing blanks.
bool isMarker(QByteArrayView line, QByteArrayView marker)
{
    while (!line.isEmpty() && (line.back() == ' ' || line.back() == '\t'))
        line.chop(1);
    return line.compare(marker, Qt::CaseInsensitive) == 0;
}

bool isQuotedPrintable(QByteArrayView line)
{
    const qsizetype colon = line.indexOf(':');
    const QByteArray head = line.first(colon < 0 ? line.size() : colon).toByteArray().toUpper();
    return head.contains("QUOTED-PRINTABLE");
}

// Joins folded lines. vCard 3.0 and 4.0 drop the one blank that starts a continuation; 2.1 folds
// only where white space already was, so it is kept. A quoted-printable value ending in "="
// continues on the next line too. Nothing when a continuation has no line to continue.
std::optional<QList<QByteArray>> unfold(const QList<QByteArrayView> &lines, bool keepFoldBlank)
{
    QList<QByteArray> logical;
    bool softBreak = false;
    for (QByteArrayView line : lines) {
        if (softBreak) {
            logical.last().chop(1);
            logical.last().append(line);
        } else if (line.isEmpty()) {
            continue;
        } else if (line.front() == ' ' || line.front() == '\t') {
            if (logical.isEmpty())
                return std::nullopt;
            logical.last().append(keepFoldBlank ? line : line.sliced(1));
        } else {
            logical.append(line.toByteArray());
        }
        softBreak = logical.last().endsWith('=') && isQuotedPrintable(logical.last());
    }
    return logical;
}

struct Property {
    QByteArray name;  // upper case, without its group ("item1.")
    QList<QByteArray> params;
    QByteArray value;
};

// Splits at the first ':' outside double quotes and at the ';' before it.
std::optional<Property> parseProperty(QByteArrayView line)
{
    QList<QByteArray> parts;
    bool quoted = false;
    qsizetype start = 0;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && (c == ';' || c == ':')) {
            parts.append(line.sliced(start, i - start).toByteArray().trimmed());
            start = i + 1;
            if (c == ':')
                break;
        }
    }
    if (parts.isEmpty() || start == 0 || line[start - 1] != ':')
        return std::nullopt;
    QByteArray name = parts.takeFirst();
    name = name.mid(name.lastIndexOf('.') + 1).toUpper();
    if (name.isEmpty())
        return std::nullopt;
    return Property{name, parts, line.sliced(start).toByteArray()};
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QByteArray decodeQuotedPrintable(QByteArrayView in)
{
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '=' && i + 2 < in.size() && hexValue(in[i + 1]) >= 0 && hexValue(in[i + 2]) >= 0) {
            out.append(char(hexValue(in[i + 1]) * 16 + hexValue(in[i + 2])));
            i += 2;
        } else {
            out.append(in[i]);  // a stray "=" is kept as written
        }
    }
    return out;
}

// Any charset ICU knows by name: Windows-1252 from cards exported on Windows, Shift_JIS, ...
// Nothing for a name it does not know.
std::optional<QString> decodeCharset(const QByteArray &bytes, const QByteArray &charset)
{
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UConverter, void (*)(UConverter *)> converter(ucnv_open(charset.constData(), &status),
                                                                         ucnv_close);
    if (U_FAILURE(status) || bytes.size() > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    const auto size = int32_t(bytes.size());
    const int32_t length = ucnv_toUChars(converter.get(), nullptr, 0, bytes.constData(), size, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return std::nullopt;
    QString text(length, Qt::Uninitialized);
    status = U_ZERO_ERROR;
    ucnv_toUChars(converter.get(), reinterpret_cast<UChar *>(text.data()), length, bytes.constData(), size, &status);
    return U_FAILURE(status) ? std::nullopt : std::optional(text);
}

QString decodeText(const QByteArray &bytes, const QByteArray &charset)
{
    if (!charset.isEmpty()) {
        if (std::optional<QString> text = decodeCharset(bytes, charset))
            return *text;
    }
    // UTF-8 as vCard 3.0 and 4.0 require; old 2.1 writers without a charset wrote Latin-1.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}

QString decodeValue(const Property &property)
{
    bool quotedPrintable = false;
    QByteArray charset;
    for (const QByteArray &param : property.params) {
        const QByteArray upper = param.toUpper();
        if (upper == "QUOTED-PRINTABLE" || upper == "ENCODING=QUOTED-PRINTABLE")
            quotedPrintable = true;
        else if (upper.startsWith("CHARSET="))
            charset = param.mid(8).replace('"', QByteArray());
    }
    return decodeText(quotedPrintable ? decodeQuotedPrintable(property.value) : property.value, charset);
}

QString unescape(QStringView text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\' || i + 1 == text.size()) {
            out.append(text[i]);
            continue;
        }
        const QChar next = text[++i];
        if (next == u'n' || next == u'N')
            out.append(u'\n');
        else if (next == u',' || next == u';' || next == u':' || next == u'\\')
            out.append(next);
        else
            out.append(text.sliced(i - 1, 2));  // not an escape: keep both characters
    }
    return out;
}

// Splits at separators that are not escaped; the parts keep their escapes.
QList<QStringView> splitUnescaped(QStringView text, QChar separator)
{
    QList<QStringView> parts;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\\') {
            ++i;
        } else if (text[i] == separator) {
            parts.append(text.sliced(start, i - start));
            start = i + 1;
        }
    }
    parts.append(text.sliced(start));
    return parts;
}

// N is family;given;additional;prefixes;suffixes, each possibly a comma list. A full name reads
// prefixes, given, additional, family, suffixes.
QString nameFromN(const QString &value)
{
    const QList<QStringView> fields = splitUnescaped(value, u';');
    QStringList words;
    for (int field : {3, 1, 2, 0, 4}) {
        if (field >= fields.size())
            continue;
        for (QStringView item : splitUnescaped(fields[field], u',')) {
            const QString word = unescape(item).trimmed();
            if (!word.isEmpty())
                words.append(word);
        }
    }
    return words.join(u' ');
}

QString phoneText(const QString &value)
{
    // vCard 4.0 may write a tel: URI, whose parameters (";ext=") are not part of the number.
    if (value.startsWith(u"tel:", Qt::CaseInsensitive))
        return value.mid(4).section(u';', 0, 0);
    return unescape(value);
}

std::optional<ContactCard> parseCard(const QList<QByteArrayView> &lines)
{
    bool version21 = false;
    for (QByteArrayView line : lines) {
        if (startsWithCI(line, "VERSION:"))
            version21 = line.sliced(8).toByteArray().trimmed() == "2.1";
    }
    const std::optional<QList<QByteArray>> logical = unfold(lines, version21);
    if (!logical)
        return std::nullopt;

    ContactCard card;
    QString formatted;
    QString composed;
    for (const QByteArray &line : *logical) {
        const std::optional<Property> property = parseProperty(line);
        if (!property)
            return std::nullopt;
        if (property->name == "FN" && formatted.trimmed().isEmpty())
            formatted = unescape(decodeValue(*property));
        else if (property->name == "N")
            composed = nameFromN(decodeValue(*property));
        else if (property->name == "TEL")
            card.phones.append(phoneText(decodeValue(*property)));
        else if (property->name == "EMAIL")
            card.emails.append(unescape(decodeValue(*property)));
    }
    card.fullName = formatted.trimmed().isEmpty() ? composed : formatted;
    return card;
}
} // namespace

QList<ContactCard> VCard::parse(QByteArrayView data)
{
    if (data.startsWith("\xEF\xBB\xBF"))
        data = data.sliced(3);
    QList<ContactCard> cards;
    std::optional<QList<QByteArrayView>> open;  // the lines of the card being read
    qsizetype start = 0;
    while (start < data.size()) {
        qsizetype end = data.indexOf('\n', start);
        if (end < 0)
            end = data.size();
        QByteArrayView line = data.sliced(start, end - start);
        start = end + 1;
        if (line.endsWith('\r'))
            line.chop(1);

        if (isMarker(line, "BEGIN:VCARD")) {
            open.emplace();  // a card still open here never ended: dropped
        } else if (isMarker(line, "END:VCARD")) {
            if (open) {
                if (std::optional<ContactCard> card = parseCard(*open))
                    cards.append(std::move(*card));
                open.reset();
            }
        } else if (open) {
            open->append(line);
        }
    }
    return cards;
}

QList<ContactCard> VCard::readFolder(const QString &folder)
{
    QStringList paths;
    QDirIterator it(folder, {QStringLiteral("*.vcf")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        paths.append(it.next());
    paths.sort();  // a stable order: the first card to claim a number keeps it

    QList<ContactCard> cards;
    for (const QString &path : std::as_const(paths)) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            cards.append(parse(file.readAll()));
    }
    return cards;
}

QString VCard::standardFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/contacts");
}
