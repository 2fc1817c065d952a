#include "JsonText.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr std::uint64_t ones = 0x0101010101010101ULL;
constexpr std::uint64_t highs = 0x8080808080808080ULL;

// Whether any byte of the word is below `n` (n at most 0x80), or equals `b`: the classic tests,
// exact for "any byte" though not for which one.
constexpr std::uint64_t anyBelow(std::uint64_t word, std::uint8_t n)
{
    return (word - ones * n) & ~word & highs;
}
constexpr std::uint64_t anyEqual(std::uint64_t word, std::uint8_t b)
{
    return anyBelow(word ^ (ones * b), 1);
}

bool plain(unsigned char c, bool asciiOnly)
{
    return c >= 0x20 && c != '"' && c != '\\' && (!asciiOnly || c < 0x80);
}

} // namespace

namespace JsonText {

std::size_t plainPrefix(std::string_view text, bool asciiOnly)
{
    const std::uint64_t high = asciiOnly ? highs : 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if ((word & high) | anyBelow(word, 0x20) | anyEqual(word, '"') | anyEqual(word, '\\'))
            break;
    }
    while (i < text.size() && plain(static_cast<unsigned char>(text[i]), asciiOnly))
        ++i;
    return i;
}

Utf8Lead utf8Lead(unsigned char lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return {1};
    if (lead >= 0xE0 && lead <= 0xEF)
        return {2, static_cast<unsigned char>(lead == 0xE0 ? 0xA0 : 0x80), static_cast<unsigned char>(lead == 0xED ? 0x9F : 0xBF)};
    if (lead >= 0xF0 && lead <= 0xF4)
        return {3, static_cast<unsigned char>(lead == 0xF0 ? 0x90 : 0x80), static_cast<unsigned char>(lead == 0xF4 ? 0x8F : 0xBF)};
    return {};
}

std::size_t utf8Sequence(std::string_view text)
{
    if (text.empty())
        return 0;
    const Utf8Lead lead = utf8Lead(static_cast<unsigned char>(text[0]));
    const auto length = std::size_t(lead.follow) + 1;
    if (lead.follow == 0 || text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < (i == 1 ? lead.low : 0x80) || c > (i == 1 ? lead.high : 0xBF))
            return 0;
    }
    return length;
}

void appendQuoted(std::string &out, std::string_view text)
{
    static const char hex[] = "0123456789abcdef";
    out.reserve(out.size() + text.size() + text.size() / 16 + 2);
    out += '"';
    while (!text.empty()) {
        const std::size_t run = plainPrefix(text, false);
        out.append(text.substr(0, run));
        if (run == text.size())
            break;
        const auto c = static_cast<unsigned char>(text[run]);
        text.remove_prefix(run + 1);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    out += '"';
}

} // namespace JsonText
