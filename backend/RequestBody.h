#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The top-level fields of a JSON object body, read by Boost.JSON's streaming parser as the bytes
// arrive. The whole text is checked (grammar, UTF-8, nesting depth), but only the fields asked
// for are kept, each up to its own cap, so a request costs about its own size at most, whatever
// its shape, and nothing is set aside for bytes that have not arrived.
class RequestBody {
public:
    // The protocol's bodies are flat; a little room is left for clients that add a small object.
    static constexpr int maxDepth = 4;

    enum class Kind { missing, string, number, boolean, null, container };
    enum class Status { reading, complete, tooLarge, notObject, tooDeep, fieldTooLong, refused };

    struct Field {
        std::string key;
        std::size_t maxBytes;  // a string longer than this refuses the body
    };
    struct Value {
        Kind kind = Kind::missing;
        std::string text;   // a string's decoded text
        double number = 0;  // a number's value; also true (1) and false (0)
    };
    struct Refusal {
        int status = 400;
        std::string text;
        int retryAfterSeconds = 0;  // > 0: sent as Retry-After
    };
    // Called once, as soon as every one of its keys has been read; a refusal stops the body there.
    using Gate = std::function<std::optional<Refusal>(const RequestBody &)>;

    RequestBody(std::vector<Field> fields, std::size_t maxBytes);
    ~RequestBody();
    RequestBody(RequestBody &&) noexcept;
    RequestBody &operator=(RequestBody &&) noexcept;

    void setGate(std::vector<std::string> keys, Gate gate);
    // True while a gate waits for its keys: who sends the body is not known yet.
    bool gateWaiting() const;
    // The length the request declares, when it does: a body declared too long is refused unread.
    Status expect(std::uint64_t bytes);
    Status feed(std::string_view bytes);
    // The end of the body: a text that stops early is not an object.
    Status finish();
    Status status() const;
    std::uint64_t bytesRead() const;
    std::size_t maxBytes() const;
    // What to answer for any status but reading and complete.
    Refusal refusal() const;

    // Missing when absent or not asked for; with repeated keys the last one counts.
    const Value &operator[](std::string_view key) const;
    const std::string *string(std::string_view key) const;
    // Moves a kept string out (the transcript), leaving it missing.
    std::string take(std::string_view key);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
