#include "Models.h"

namespace {
size_t combine(size_t seed, size_t value) noexcept
{
    return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

size_t hashDate(size_t seed, const std::optional<RefDate> &date) noexcept
{
    seed = combine(seed, date ? 1 : 0);
    return date ? combine(seed, qHash(*date)) : seed;
}
} // namespace

size_t qHash(const Conversation &c, size_t seed) noexcept
{
    size_t h = combine(seed, qHash(c.handle));
    h = combine(h, qHash(c.displayName));
    h = combine(h, size_t(c.chatRowIds.size()));
    for (qint64 id : c.chatRowIds)
        h = combine(h, qHash(id));
    h = combine(h, qHash(c.messageCount));
    h = hashDate(h, c.firstMessageDate);
    return hashDate(h, c.lastMessageDate);
}
