#include "JsonFields.h"

#include "JsonText.h"
#include "PairingCrypto.h"

#include <algorithm>
#include <utility>

namespace {

constexpr std::size_t kNumberTextLimit = 64;  // longer numbers are kept as overlong (empty text)
constexpr std::size_t kReserveAfter = 4096;   // kept strings this long reserve the body's rest

bool isSpace(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

const JsonFields::Value kMissing{};

} // namespace

JsonFields::JsonFields(std::vector<std::string> wanted)
{
    want(std::move(wanted));
}

void JsonFields::want(std::vector<std::string> keys)
{
    m_wanted = std::move(keys);
    m_values.assign(m_wanted.size(), Value{});
    m_longestWanted = 0;
    for (const std::string &key : m_wanted)
        m_longestWanted = std::max(m_longestWanted, key.size());
}

const char *JsonFields::refusal(Status status)
{
    return status == Status::TooDeep ? "request body nests too deeply" : "request body is not a JSON object";
}

const JsonFields::Value &JsonFields::operator[](std::string_view key) const
{
    const auto it = std::find(m_wanted.begin(), m_wanted.end(), key);
    return it == m_wanted.end() ? kMissing : m_values[std::size_t(it - m_wanted.begin())];
}

const std::string *JsonFields::string(std::string_view key) const
{
    const Value &value = (*this)[key];
    return value.kind == Kind::String ? &value.text : nullptr;
}

std::string JsonFields::take(std::string_view key)
{
    const auto it = std::find(m_wanted.begin(), m_wanted.end(), key);
    if (it == m_wanted.end())
        return {};
    Value &value = m_values[std::size_t(it - m_wanted.begin())];
    std::string text = std::move(value.text);
    value = Value{};
    return text;
}

bool JsonFields::fail(Status status)
{
    m_status = status;
    return false;
}

JsonFields::Status JsonFields::feed(std::string_view bytes)
{
    if (m_status != Status::Reading)
        return m_status;
    m_bytes += bytes.size();
    const std::size_t n = bytes.size();
    for (std::size_t i = 0; i < n; ++i) {
        // Runs of plain text inside a string go in one piece: transcripts are mostly that.
        if (m_state == State::String && m_highSurrogate == 0) {
            std::size_t end = i;
            for (;;) {
                end += JsonText::plainPrefix(bytes.substr(end), true);
                const std::size_t sequence = JsonText::utf8Sequence(bytes.substr(end));
                if (sequence == 0)
                    break;
                end += sequence;
            }
            if (end > i) {
                m_unread = m_expected > m_bytes - (n - i) ? m_expected - (m_bytes - (n - i)) : 0;
                appendBytes(bytes.substr(i, end - i));
                i = end;
                if (i == n)
                    break;
            }
        }
        if (!step(static_cast<unsigned char>(bytes[i])))
            return m_status;
    }
    return m_status;
}

JsonFields::Status JsonFields::finish()
{
    if (m_status != Status::Reading)
        return m_status;
    if (m_state == State::Number &&
        (m_number == NumberState::Zero || m_number == NumberState::Int || m_number == NumberState::Frac ||
         m_number == NumberState::ExpDigits))
        valueDone(Kind::Number);
    m_status = m_state == State::End ? Status::Complete : Status::NotObject;
    return m_status;
}

void JsonFields::appendBytes(std::string_view bytes)
{
    switch (m_role) {
    case Role::Keep: {
        std::string &text = m_values[std::size_t(m_slot)].text;
        // A long string takes the room the rest of the body could fill at once, not by doublings;
        // valueDone() gives back what it did not use.
        if (text.size() + bytes.size() > text.capacity() && text.size() >= kReserveAfter && m_unread > bytes.size())
            text.reserve(text.size() + m_unread);
        text.append(bytes);
        m_unread = 0;
        break;
    }
    case Role::Key:
        if (m_key.size() + bytes.size() > m_longestWanted)
            m_keyTooLong = true;
        else
            m_key.append(bytes);
        break;
    case Role::SkipKey:
    case Role::Skip:
        break;
    }
}

void JsonFields::append(std::uint32_t code)
{
    char utf8[4];
    std::size_t size = 0;
    if (code < 0x80) {
        utf8[size++] = char(code);
    } else if (code < 0x800) {
        utf8[size++] = char(0xC0 | (code >> 6));
        utf8[size++] = char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        utf8[size++] = char(0xE0 | (code >> 12));
        utf8[size++] = char(0x80 | ((code >> 6) & 0x3F));
        utf8[size++] = char(0x80 | (code & 0x3F));
    } else {
        utf8[size++] = char(0xF0 | (code >> 18));
        utf8[size++] = char(0x80 | ((code >> 12) & 0x3F));
        utf8[size++] = char(0x80 | ((code >> 6) & 0x3F));
        utf8[size++] = char(0x80 | (code & 0x3F));
    }
    appendBytes(std::string_view(utf8, size));
}

bool JsonFields::open(bool object)
{
    if (m_depth == kMaxDepth)
        return fail(Status::TooDeep);
    if (m_depth == 1 && m_slot >= 0)
        m_values[std::size_t(m_slot)] = Value{Kind::Container, {}};
    m_objects[++m_depth] = object;
    m_state = object ? State::FirstKeyOrEnd : State::FirstValueOrEnd;
    return true;
}

bool JsonFields::close(bool object)
{
    if (m_objects[m_depth] != object)
        return fail(Status::NotObject);
    --m_depth;
    m_state = m_depth == 0 ? State::End : State::AfterValue;
    return true;
}

void JsonFields::valueDone(Kind kind)
{
    if (m_depth == 1 && m_slot >= 0) {
        Value &value = m_values[std::size_t(m_slot)];
        if (kind != Kind::String && kind != Kind::Number)
            value.text.clear();
        if (value.text.capacity() - value.text.size() > kReserveAfter)
            value.text.shrink_to_fit();
        value.kind = kind;
    }
    m_state = State::AfterValue;
}

bool JsonFields::startValue(unsigned char c)
{
    if (m_depth == 0)
        return c == '{' ? open(true) : fail(Status::NotObject);
    const bool keep = m_depth == 1 && m_slot >= 0;
    switch (c) {
    case '{':
        return open(true);
    case '[':
        return open(false);
    case '"':
        m_role = keep ? Role::Keep : Role::Skip;
        if (keep)
            m_values[std::size_t(m_slot)].text.clear();
        m_state = State::String;
        return true;
    case 't':
        m_literal = "rue";
        m_literalKind = Kind::True;
        m_state = State::Literal;
        return true;
    case 'f':
        m_literal = "alse";
        m_literalKind = Kind::False;
        m_state = State::Literal;
        return true;
    case 'n':
        m_literal = "ull";
        m_literalKind = Kind::Null;
        m_state = State::Literal;
        return true;
    default:
        if (c != '-' && !isDigit(c))
            return fail(Status::NotObject);
        m_captureNumber = keep;
        if (keep)
            m_values[std::size_t(m_slot)].text.assign(1, char(c));
        m_number = c == '-' ? NumberState::Sign : c == '0' ? NumberState::Zero : NumberState::Int;
        m_state = State::Number;
        return true;
    }
}

bool JsonFields::stepNumber(unsigned char c)
{
    const bool digit = isDigit(c);
    const bool exponent = c == 'e' || c == 'E';
    bool ends = false;
    switch (m_number) {
    case NumberState::Sign:
        if (!digit)
            return fail(Status::NotObject);
        m_number = c == '0' ? NumberState::Zero : NumberState::Int;
        break;
    case NumberState::Zero:
    case NumberState::Int:
        if (digit && m_number == NumberState::Int)
            break;
        if (c == '.')
            m_number = NumberState::Dot;
        else if (exponent)
            m_number = NumberState::Exp;
        else
            ends = true;
        break;
    case NumberState::Dot:
        if (!digit)
            return fail(Status::NotObject);
        m_number = NumberState::Frac;
        break;
    case NumberState::Frac:
        if (exponent)
            m_number = NumberState::Exp;
        else if (!digit)
            ends = true;
        break;
    case NumberState::Exp:
        if (c == '+' || c == '-')
            m_number = NumberState::ExpSign;
        else if (digit)
            m_number = NumberState::ExpDigits;
        else
            return fail(Status::NotObject);
        break;
    case NumberState::ExpSign:
        if (!digit)
            return fail(Status::NotObject);
        m_number = NumberState::ExpDigits;
        break;
    case NumberState::ExpDigits:
        ends = !digit;
        break;
    }
    if (ends) {
        valueDone(Kind::Number);
        return step(c);
    }
    if (m_captureNumber) {
        std::string &text = m_values[std::size_t(m_slot)].text;
        if (text.size() < kNumberTextLimit) {
            text.push_back(char(c));
        } else {
            text.clear();
            m_captureNumber = false;
        }
    }
    return true;
}

bool JsonFields::step(unsigned char c)
{
    switch (m_state) {
    case State::Bom: {
        static constexpr unsigned char bom[] = {0xEF, 0xBB, 0xBF};
        if (m_bomSeen == 0 && c != bom[0]) {
            m_state = State::Value;
            return step(c);
        }
        if (c != bom[m_bomSeen])
            return fail(Status::NotObject);
        if (++m_bomSeen == 3)
            m_state = State::Value;
        return true;
    }
    case State::Value:
        return isSpace(c) || startValue(c);
    case State::FirstValueOrEnd:
        if (isSpace(c))
            return true;
        return c == ']' ? close(false) : startValue(c);
    case State::FirstKeyOrEnd:
        if (c == '}')
            return close(true);
        [[fallthrough]];
    case State::Key:
        if (isSpace(c))
            return true;
        if (c != '"')
            return fail(Status::NotObject);
        m_role = m_depth == 1 ? Role::Key : Role::SkipKey;
        m_key.clear();
        m_keyTooLong = false;
        m_state = State::String;
        return true;
    case State::Colon:
        if (isSpace(c))
            return true;
        if (c != ':')
            return fail(Status::NotObject);
        m_state = State::Value;
        return true;
    case State::AfterValue:
        if (isSpace(c))
            return true;
        if (c == ',') {
            m_state = m_objects[m_depth] ? State::Key : State::Value;
            return true;
        }
        if (c == '}' || c == ']')
            return close(c == '}');
        return fail(Status::NotObject);
    case State::End:
        return isSpace(c) || fail(Status::NotObject);
    case State::String:
        if (m_highSurrogate != 0 && c != '\\')
            return fail(Status::NotObject);
        if (c == '"') {
            if (m_role == Role::Key || m_role == Role::SkipKey) {
                m_slot = -1;
                if (m_role == Role::Key && !m_keyTooLong) {
                    const auto it = std::find(m_wanted.begin(), m_wanted.end(), m_key);
                    if (it != m_wanted.end())
                        m_slot = int(it - m_wanted.begin());
                }
                m_state = State::Colon;
                return true;
            }
            valueDone(Kind::String);
            return true;
        }
        if (c == '\\') {
            m_state = State::Escape;
            return true;
        }
        if (c < 0x20)
            return fail(Status::NotObject);
        if (c >= 0x80) {
            // Well-formed UTF-8 only.
            const JsonText::Utf8Lead lead = JsonText::utf8Lead(c);
            if (lead.follow == 0)
                return fail(Status::NotObject);
            m_utf8Need = lead.follow;
            m_utf8Low = lead.low;
            m_utf8High = lead.high;
            m_state = State::Utf8;
        }
        appendBytes(std::string_view(reinterpret_cast<const char *>(&c), 1));
        return true;
    case State::Utf8:
        if (c < m_utf8Low || c > m_utf8High)
            return fail(Status::NotObject);
        appendBytes(std::string_view(reinterpret_cast<const char *>(&c), 1));
        m_utf8Low = 0x80;
        m_utf8High = 0xBF;
        if (--m_utf8Need == 0)
            m_state = State::String;
        return true;
    case State::Escape: {
        if (m_highSurrogate != 0 && c != 'u')
            return fail(Status::NotObject);
        m_state = State::String;
        char plain = 0;
        switch (c) {
        case '"': case '\\': case '/': plain = char(c); break;
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case 'u':
            m_hexCount = 0;
            m_code = 0;
            m_state = State::Unicode;
            return true;
        default:
            return fail(Status::NotObject);
        }
        appendBytes(std::string_view(&plain, 1));
        return true;
    }
    case State::Unicode: {
        const int value = PairingCrypto::hexDigit(char(c));
        if (value < 0)
            return fail(Status::NotObject);
        m_code = m_code * 16 + std::uint32_t(value);
        if (++m_hexCount < 4)
            return true;
        m_state = State::String;
        const bool high = m_code >= 0xD800 && m_code <= 0xDBFF;
        const bool low = m_code >= 0xDC00 && m_code <= 0xDFFF;
        if (m_highSurrogate != 0) {
            if (!low)
                return fail(Status::NotObject);
            append(0x10000 + ((m_highSurrogate - 0xD800) << 10) + (m_code - 0xDC00));
            m_highSurrogate = 0;
        } else if (high) {
            m_highSurrogate = m_code;
        } else if (low) {
            return fail(Status::NotObject);
        } else {
            append(m_code);
        }
        return true;
    }
    case State::Literal:
        if (c != static_cast<unsigned char>(*m_literal))
            return fail(Status::NotObject);
        if (*++m_literal == '\0')
            valueDone(m_literalKind);
        return true;
    case State::Number:
        return stepNumber(c);
    }
    return fail(Status::NotObject);
}
