#include "TranscriptFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace {

// 4 TiB of transcripts held at once: a larger index is damage, not a store.
constexpr std::uint32_t maxChunks = 1u << 26;

[[noreturn]] void fail(const std::string &what, const std::string &path)
{
    throw std::runtime_error("session store: cannot " + what + " " + path + ": " + std::strerror(errno));
}

} // namespace

TranscriptFile::TranscriptFile(const std::string &path) : m_path(path)
{
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0)
        fail("open", path);
}

TranscriptFile::~TranscriptFile()
{
    ::close(m_fd);
}

void TranscriptFile::adopt(const std::vector<Chunks> &named)
{
    std::vector<bool> inUse;
    for (const Chunks &chunks : named)
        for (const std::uint32_t chunk : chunks) {
            if (chunk >= maxChunks)
                throw std::runtime_error("session store: the database names a chunk past any " + m_path + " can have");
            if (chunk >= inUse.size())
                inUse.resize(std::size_t(chunk) + 1);
            inUse[chunk] = true;
        }
    // Past the last chunk named, nothing is kept; below it, a chunk that holds anything but
    // zeros and is not named is emptied.
    const auto end = std::uint32_t(inUse.size());
    if (::ftruncate(m_fd, off_t(end) * off_t(chunkBytes)) != 0)
        fail("truncate", m_path);
    std::string bytes(chunkBytes, '\0');
    Chunks free;
    for (std::uint32_t chunk = end; chunk-- > 0;) {
        if (inUse[chunk])
            continue;
        free.push_back(chunk);  // the lowest last, so that it goes first
        const ssize_t n = ::pread(m_fd, bytes.data(), bytes.size(), off_t(chunk) * off_t(chunkBytes));
        if (n < 0)
            fail("read", m_path);
        if (std::any_of(bytes.begin(), bytes.begin() + n, [](char c) { return c != 0; }))
            empty(chunk);
    }
    std::lock_guard lock(m_mutex);
    m_end = end;
    m_free = std::move(free);
    m_dirty = true;
}

TranscriptFile::Place TranscriptFile::write(std::string_view text)
{
    Chunks chunks((text.size() + chunkBytes - 1) / chunkBytes);
    {
        std::lock_guard lock(m_mutex);
        for (std::uint32_t &chunk : chunks) {
            if (m_free.empty()) {
                chunk = m_end++;
            } else {
                chunk = m_free.back();
                m_free.pop_back();
            }
        }
    }
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const std::string_view piece = text.substr(i * chunkBytes, chunkBytes);
        std::size_t done = 0;
        while (done < piece.size()) {
            const ssize_t n = ::pwrite(m_fd, piece.data() + done, piece.size() - done,
                                       off_t(chunks[i]) * off_t(chunkBytes) + off_t(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                const int error = errno;
                release(chunks);
                errno = error;
                fail("write to", m_path);
            }
            done += std::size_t(n);
        }
    }
    // Only now: a sync that began before the last byte was written must not be taken for its.
    std::lock_guard lock(m_mutex);
    m_dirty = true;
    const auto crc = std::uint32_t(crc32_z(0, reinterpret_cast<const Bytef *>(text.data()), text.size()));
    return {std::move(chunks), text.size(), crc};
}

std::string TranscriptFile::read(const Place &place) const
{
    const Chunks &chunks = place.chunks;
    const auto length = std::size_t(place.length);
    if (place.length > std::uint64_t(chunks.size()) * chunkBytes || chunks.size() != (length + chunkBytes - 1) / chunkBytes)
        throw std::runtime_error("session store: a transcript's chunks do not match its length");
    std::string text(length, '\0');
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const std::size_t size = std::min(chunkBytes, length - i * chunkBytes);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pread(m_fd, text.data() + i * chunkBytes + done, size - done,
                                      off_t(chunks[i]) * off_t(chunkBytes) + off_t(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail("read", m_path);
            if (n == 0)
                throw std::runtime_error("session store: " + m_path + " ends before a transcript it should hold");
            done += std::size_t(n);
        }
    }
    if (crc32_z(0, reinterpret_cast<const Bytef *>(text.data()), text.size()) != place.crc)
        throw std::runtime_error("session store: a transcript in " + m_path + " is not what was written");
    return text;
}

void TranscriptFile::release(const Chunks &chunks)
{
    for (const std::uint32_t chunk : chunks)
        empty(chunk);
    std::lock_guard lock(m_mutex);
    m_dirty = true;
    m_released.insert(m_released.end(), chunks.begin(), chunks.end());
}

// Zeros over the text, rather than a hole: the blocks stay the file's, so the next transcript
// there changes no more than bytes, and the old text does not stay behind in freed blocks.
void TranscriptFile::empty(std::uint32_t chunk)
{
    static const std::string zeros(chunkBytes, '\0');
    std::size_t done = 0;
    while (done < zeros.size()) {
        const ssize_t n = ::pwrite(m_fd, zeros.data() + done, zeros.size() - done, off_t(chunk) * off_t(chunkBytes) + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("empty a chunk of", m_path);
        done += std::size_t(n);
    }
}

void TranscriptFile::sync(const std::function<void()> &databaseSynced)
{
    Chunks released;
    bool dirty = false;
    {
        std::lock_guard lock(m_mutex);
        released.swap(m_released);
        dirty = std::exchange(m_dirty, false);
    }
    try {
#ifdef __APPLE__
        const int synced = dirty ? ::fsync(m_fd) : 0;
#else
        const int synced = dirty ? ::fdatasync(m_fd) : 0;
#endif
        if (synced != 0)
            fail("sync", m_path);
        databaseSynced();
    } catch (...) {
        std::lock_guard lock(m_mutex);
        m_dirty = m_dirty || dirty;
        m_released.insert(m_released.end(), released.begin(), released.end());
        throw;
    }
    std::lock_guard lock(m_mutex);
    m_free.insert(m_free.end(), released.begin(), released.end());
}

std::string TranscriptFile::encode(const Chunks &chunks)
{
    std::string bytes;
    bytes.reserve(chunks.size() * 4);
    for (const std::uint32_t chunk : chunks)
        for (int shift = 0; shift < 32; shift += 8)
            bytes += char((chunk >> shift) & 0xff);
    return bytes;
}

TranscriptFile::Chunks TranscriptFile::decode(std::string_view bytes)
{
    if (bytes.size() % 4 != 0)
        throw std::runtime_error("session store: a transcript's chunk list is damaged");
    Chunks chunks(bytes.size() / 4);
    for (std::size_t i = 0; i < chunks.size(); ++i)
        for (int b = 0; b < 4; ++b)
            chunks[i] |= std::uint32_t(std::uint8_t(bytes[i * 4 + std::size_t(b)])) << (8 * b);
    return chunks;
}
