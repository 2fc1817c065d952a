#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The top-level fields of a JSON object body, read as its bytes arrive. The whole text is checked
// (grammar, UTF-8, escapes, nesting depth) without recursion, but only the fields asked for are
// kept, so a request costs about its own size at most, whatever its shape.
class JsonFields {
public:
    // The protocol's bodies are flat; a little room is left for clients that add a small object.
    static constexpr int kMaxDepth = 4;

    enum class Kind { Missing, String, Number, True, False, Null, Container };
    enum class Status { Reading, Complete, NotObject, TooDeep };

    struct Value {
        Kind kind = Kind::Missing;
        std::string text;  // a string's decoded text; a number as written (empty when overlong)
    };

    explicit JsonFields(std::vector<std::string> wanted = {});

    // Which top-level keys to keep; only before the first byte.
    void want(std::vector<std::string> keys);
    // The body's declared length, so that a long kept string grows once.
    void expect(std::uint64_t bodyBytes) { m_expected = bodyBytes; }
    Status feed(std::string_view bytes);
    // The end of the body: a text that stops early is not an object.
    Status finish();
    Status status() const { return m_status; }
    std::uint64_t bytesRead() const { return m_bytes; }

    // Missing when absent or not asked for; with repeated keys the last one counts.
    const Value &operator[](std::string_view key) const;
    const std::string *string(std::string_view key) const;
    // Moves a kept string out (the transcript), leaving it Missing.
    std::string take(std::string_view key);

    // The refusal text for NotObject and TooDeep.
    static const char *refusal(Status status);

private:
    enum class State : std::uint8_t {
        Bom, Value, FirstValueOrEnd, FirstKeyOrEnd, Key, Colon, AfterValue, End,
        String, Escape, Unicode, Utf8, Literal, Number
    };
    enum class NumberState : std::uint8_t { Sign, Zero, Int, Dot, Frac, Exp, ExpSign, ExpDigits };
    enum class Role : std::uint8_t { Key, SkipKey, Keep, Skip };

    bool step(unsigned char c);
    bool stepNumber(unsigned char c);
    bool startValue(unsigned char c);
    bool open(bool object);
    bool close(bool object);
    void valueDone(Kind kind);
    void append(std::uint32_t codePoint);
    void appendBytes(std::string_view bytes);
    bool fail(Status status);

    std::vector<std::string> m_wanted;
    std::vector<Value> m_values;
    Status m_status = Status::Reading;
    State m_state = State::Bom;
    int m_bomSeen = 0;
    std::uint64_t m_bytes = 0;
    std::uint64_t m_expected = 0;
    std::uint64_t m_unread = 0;          // body bytes from the run being appended on

    bool m_objects[kMaxDepth + 1] = {};  // per open container: object (true) or array
    int m_depth = 0;
    int m_slot = -1;                     // index into m_wanted of the current top-level key

    Role m_role = Role::Skip;
    std::string m_key;                   // the current top-level key, cut off past the longest wanted
    bool m_keyTooLong = false;
    std::size_t m_longestWanted = 0;
    int m_utf8Need = 0;
    unsigned char m_utf8Low = 0x80, m_utf8High = 0xBF;
    int m_hexCount = 0;
    std::uint32_t m_code = 0;
    std::uint32_t m_highSurrogate = 0;   // a \uD800-\uDBFF waiting for its low half

    const char *m_literal = nullptr;     // the rest of true/false/null still to match
    Kind m_literalKind = Kind::Null;
    NumberState m_number = NumberState::Sign;
    bool m_captureNumber = false;
};
