#include "RequestBody.h"

#include <boost/json/basic_parser_impl.hpp>

#include <algorithm>

namespace json = boost::json;
using boost::system::error_code;

namespace {

// The reasons a handler stops the parser; the status says which.
const error_code stopped = make_error_code(boost::system::errc::operation_canceled);

} // namespace

struct RequestBody::Impl {
    struct Handler {
        static constexpr std::size_t max_object_size = std::size_t(-1);
        static constexpr std::size_t max_array_size = std::size_t(-1);
        static constexpr std::size_t max_key_size = std::size_t(-1);
        static constexpr std::size_t max_string_size = std::size_t(-1);

        Impl *body;

        bool on_document_begin(error_code &) { return true; }
        bool on_document_end(error_code &) { return true; }
        bool on_object_begin(error_code &ec) { return body->open(true, ec); }
        bool on_object_end(std::size_t, error_code &) { return body->close(); }
        bool on_array_begin(error_code &ec) { return body->open(false, ec); }
        bool on_array_end(std::size_t, error_code &) { return body->close(); }
        bool on_key_part(json::string_view s, std::size_t, error_code &) { return body->keyPart(s); }
        bool on_key(json::string_view s, std::size_t, error_code &)
        {
            body->keyPart(s);
            return body->keyDone();
        }
        bool on_string_part(json::string_view s, std::size_t, error_code &ec) { return body->stringPart(s, ec); }
        bool on_string(json::string_view s, std::size_t, error_code &ec)
        {
            return body->stringPart(s, ec) && body->scalar(Kind::string, 0, ec);
        }
        bool on_number_part(json::string_view, error_code &ec) { return body->atTop(ec); }
        bool on_int64(std::int64_t i, json::string_view, error_code &ec) { return body->scalar(Kind::number, double(i), ec); }
        bool on_uint64(std::uint64_t u, json::string_view, error_code &ec) { return body->scalar(Kind::number, double(u), ec); }
        bool on_double(double x, json::string_view, error_code &ec) { return body->scalar(Kind::number, x, ec); }
        bool on_bool(bool b, error_code &ec) { return body->scalar(Kind::boolean, b ? 1 : 0, ec); }
        bool on_null(error_code &ec) { return body->scalar(Kind::null, 0, ec); }
        bool on_comment_part(json::string_view, error_code &) { return true; }
        bool on_comment(json::string_view, error_code &) { return true; }
    };

    static json::parse_options options()
    {
        json::parse_options o;
        o.max_depth = maxDepth;
        return o;
    }

    Impl(std::vector<Field> wanted, std::size_t max) : fields(std::move(wanted)), values(fields.size()), limit(max)
    {
        for (const Field &f : fields)
            longestKey = std::max(longestKey, f.key.size());
    }

    std::vector<Field> fields;
    std::vector<Value> values;
    std::size_t limit;
    json::basic_parser<Handler> parser{options(), Handler{this}};
    Status status = Status::reading;
    std::uint64_t bytes = 0;

    int depth = 0;
    int slot = -1;            // the field of the current top-level key; -1: not kept
    std::string key;          // the current top-level key, cut off past the longest wanted
    std::size_t longestKey = 0;
    bool keyTooLong = false;
    std::size_t tooLong = 0;  // the field over its cap

    std::vector<std::string> gateKeys;
    Gate gate;
    std::optional<Refusal> gateRefusal;

    bool fail(Status s, error_code &ec)
    {
        status = s;
        ec = stopped;
        return false;
    }

    // A scalar or a container where the body itself should be: not an object.
    bool atTop(error_code &ec) { return depth > 0 || fail(Status::notObject, ec); }

    bool open(bool object, error_code &ec)
    {
        if (depth == 0 && !object)
            return fail(Status::notObject, ec);
        if (depth == 1 && slot >= 0)
            values[std::size_t(slot)] = Value{Kind::container, {}, 0};
        ++depth;
        return true;
    }

    bool close()
    {
        --depth;
        return true;
    }

    bool keyPart(json::string_view s)
    {
        if (depth != 1)
            return true;
        if (key.size() + s.size() > longestKey)
            keyTooLong = true;
        else
            key.append(s.data(), s.size());
        return true;
    }

    bool keyDone()
    {
        if (depth == 1) {
            slot = keyTooLong ? -1 : slotOf(key);
            if (slot >= 0)
                values[std::size_t(slot)] = Value{};  // a repeated key: the last one counts
            key.clear();
            keyTooLong = false;
        }
        return true;
    }

    bool stringPart(json::string_view s, error_code &ec)
    {
        if (!atTop(ec))
            return false;
        if (depth != 1 || slot < 0)
            return true;
        std::string &text = values[std::size_t(slot)].text;
        if (text.size() + s.size() > fields[std::size_t(slot)].maxBytes) {
            tooLong = std::size_t(slot);
            return fail(Status::fieldTooLong, ec);
        }
        text.append(s.data(), s.size());
        return true;
    }

    bool scalar(Kind kind, double number, error_code &ec)
    {
        if (!atTop(ec))
            return false;
        if (depth != 1 || slot < 0)
            return true;
        Value &value = values[std::size_t(slot)];
        value.kind = kind;
        value.number = number;
        return openGate(ec);
    }

    bool openGate(error_code &ec)
    {
        if (!gate)
            return true;
        for (const std::string &k : gateKeys)
            if (find(k).kind == Kind::missing)
                return true;
        const Gate once = std::move(gate);
        gate = nullptr;
        gateRefusal = once(*owner);
        return !gateRefusal || fail(Status::refused, ec);
    }

    // The field asked for under `k`, or -1.
    int slotOf(std::string_view k) const
    {
        for (std::size_t i = 0; i < fields.size(); ++i)
            if (fields[i].key == k)
                return int(i);
        return -1;
    }

    const Value &find(std::string_view k) const
    {
        static const Value missing;
        const int i = slotOf(k);
        return i < 0 ? missing : values[std::size_t(i)];
    }

    Status write(std::string_view data, bool more)
    {
        if (status != Status::reading)
            return status;
        bytes += data.size();
        if (bytes > limit) {
            status = Status::tooLarge;
            return status;
        }
        error_code ec;
        std::size_t used = 0;
        if (!parser.done())
            used = parser.write_some(more, data.data(), data.size(), ec);
        if (ec) {
            if (status == Status::reading)
                status = ec == json::error::too_deep ? Status::tooDeep : Status::notObject;
            return status;
        }
        // After the object only white space may follow.
        if (data.substr(used).find_first_not_of(" \t\r\n") != std::string_view::npos)
            status = Status::notObject;
        else if (!more)
            status = parser.done() ? Status::complete : Status::notObject;
        return status;
    }

    RequestBody *owner = nullptr;
};

RequestBody::RequestBody(std::vector<Field> fields, std::size_t maxBytes)
    : d(std::make_unique<Impl>(std::move(fields), maxBytes))
{
    d->owner = this;
}

RequestBody::~RequestBody() = default;

RequestBody::RequestBody(RequestBody &&other) noexcept : d(std::move(other.d))
{
    d->owner = this;
}

RequestBody &RequestBody::operator=(RequestBody &&other) noexcept
{
    d = std::move(other.d);
    d->owner = this;
    return *this;
}

bool RequestBody::gateWaiting() const
{
    return static_cast<bool>(d->gate);
}

void RequestBody::setGate(std::vector<std::string> keys, Gate gate)
{
    d->gateKeys = std::move(keys);
    d->gate = std::move(gate);
}

RequestBody::Status RequestBody::expect(std::uint64_t bytes)
{
    if (bytes > d->limit && d->status == Status::reading)
        d->status = Status::tooLarge;
    return d->status;
}

RequestBody::Status RequestBody::feed(std::string_view bytes)
{
    return d->write(bytes, true);
}

RequestBody::Status RequestBody::finish()
{
    return d->write({}, false);
}

RequestBody::Status RequestBody::status() const
{
    return d->status;
}

std::uint64_t RequestBody::bytesRead() const
{
    return d->bytes;
}

std::size_t RequestBody::maxBytes() const
{
    return d->limit;
}

RequestBody::Refusal RequestBody::refusal() const
{
    switch (d->status) {
    case Status::tooLarge: return {413, "request body too large"};
    case Status::tooDeep: return {400, "request body nests too deeply"};
    case Status::refused: return d->gateRefusal.value_or(Refusal{403, "refused"});
    case Status::fieldTooLong: {
        const Field &field = d->fields[d->tooLong];
        return {413, "\"" + field.key + "\" is longer than " + std::to_string(field.maxBytes) + " bytes"};
    }
    case Status::reading:
    case Status::complete:
    case Status::notObject: break;
    }
    return {400, "request body is not a JSON object"};
}

const RequestBody::Value &RequestBody::operator[](std::string_view key) const
{
    return d->find(key);
}

const std::string *RequestBody::string(std::string_view key) const
{
    const Value &value = d->find(key);
    return value.kind == Kind::string ? &value.text : nullptr;
}

std::string RequestBody::take(std::string_view key)
{
    const int i = d->slotOf(key);
    if (i < 0 || d->values[std::size_t(i)].kind != Kind::string)
        return {};
    std::string text = std::move(d->values[std::size_t(i)].text);
    d->values[std::size_t(i)] = Value{};
    return text;
}

