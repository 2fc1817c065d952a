#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// JSON string text, scanned eight bytes at a time: a transcript is long runs of plain text.
namespace JsonText {

// How many leading bytes a JSON string holds as they are: none is a control character, a quote
// or a backslash, nor, when `asciiOnly`, above 0x7F.
std::size_t plainPrefix(std::string_view text, bool asciiOnly);

// What a UTF-8 lead byte asks of the bytes after it: how many follow (0: not a lead byte of
// well-formed UTF-8), and the range of the first of them; the others are 0x80-0xBF. This rules
// out overlong forms, surrogates and anything past U+10FFFF.
struct Utf8Lead {
    int follow = 0;
    unsigned char low = 0x80, high = 0xBF;
};
Utf8Lead utf8Lead(unsigned char lead);

// The length of the well-formed UTF-8 sequence of two to four bytes that `text` starts with
// (no overlong form, no surrogate, nothing past U+10FFFF), or 0.
std::size_t utf8Sequence(std::string_view text);

// Appends `text`, which is valid UTF-8, as a JSON string with its quotes.
void appendQuoted(std::string &out, std::string_view text);

} // namespace JsonText
