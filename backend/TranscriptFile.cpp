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

// 4 TiB: past this, a file is not one the service wrote.
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

std::vector<bool> TranscriptFile::adopt(const std::vector<Place> &named)
{
    struct stat info {};
    if (::fstat(m_fd, &info) != 0)
        fail("read the size of", m_path);
    const auto spanned = std::uint32_t(std::min<std::uint64_t>((std::uint64_t(info.st_size) + chunkBytes - 1) / chunkBytes, maxChunks));
    std::vector<bool> inUse(spanned), kept(named.size());
    std::uint32_t end = 0;
    for (std::size_t i = 0; i < named.size(); ++i) {
        const Chunks &chunks = named[i].chunks;
        kept[i] = fits(named[i]);
        std::size_t taken = 0;
        while (kept[i] && taken < chunks.size()) {
            kept[i] = chunks[taken] < spanned && !inUse[chunks[taken]];
            if (kept[i])
                inUse[chunks[taken++]] = true;
        }
        if (!kept[i]) {
            for (std::size_t c = 0; c < taken; ++c)
                inUse[chunks[c]] = false;  // a damaged place gives back what it took
            continue;
        }
        for (const std::uint32_t chunk : chunks)
            end = std::max(end, chunk + 1);
    }
    // Whatever no one names is emptied, and on the disk, before the file is cut after the last
    // chunk named: a cut alone would leave the text in the blocks it frees.
    std::string bytes(chunkBytes, '\0');
    Chunks free;
    for (std::uint32_t chunk = spanned; chunk-- > 0;) {
        if (inUse[chunk])
            continue;
        if (chunk < end)
            free.push_back(chunk);  // the lowest last, so that it goes first
        const std::size_t n = readAll(bytes.data(), bytes.size(), offsetOf(chunk));
        if (std::any_of(bytes.begin(), bytes.begin() + std::ptrdiff_t(n), [](char c) { return c != 0; }))
            writeAll(zeros().data(), n, offsetOf(chunk), "empty a chunk of");
    }
    syncFile();
    if (::ftruncate(m_fd, offsetOf(end)) != 0)
        fail("truncate", m_path);
    std::lock_guard lock(m_mutex);
    m_end = end;
    m_free = std::move(free);
    return kept;
}

TranscriptFile::Place TranscriptFile::write(std::string_view text)
{
    Place place{Chunks((text.size() + chunkBytes - 1) / chunkBytes), text.size(),
                std::uint32_t(crc32_z(0, reinterpret_cast<const Bytef *>(text.data()), text.size()))};
    {
        std::lock_guard lock(m_mutex);
        for (std::uint32_t &chunk : place.chunks) {
            if (m_free.empty()) {
                chunk = m_end++;
            } else {
                chunk = m_free.back();
                m_free.pop_back();
            }
        }
    }
    for (std::size_t i = 0; i < place.chunks.size(); ++i) {
        const std::string_view piece = text.substr(i * chunkBytes, chunkBytes);
        try {
            writeAll(piece.data(), piece.size(), offsetOf(place.chunks[i]), "write to");
        } catch (...) {
            // What was written of it goes again; a failure of that too leaves it to the next start.
            try {
                release({place.chunks, i * chunkBytes + piece.size(), 0});
            } catch (...) {
            }
            throw;
        }
    }
    // Only now: a sync that began before the last byte was written must not be taken for its.
    std::lock_guard lock(m_mutex);
    m_dirty = true;
    return place;
}

std::string TranscriptFile::read(const Place &place) const
{
    if (!fits(place))
        throw std::runtime_error("session store: a transcript's chunks do not match its length");
    std::string text(std::size_t(place.length), '\0');
    for (std::size_t i = 0; i < place.chunks.size(); ++i) {
        const std::size_t size = std::min(chunkBytes, text.size() - i * chunkBytes);
        if (readAll(text.data() + i * chunkBytes, size, offsetOf(place.chunks[i])) != size)
            throw std::runtime_error("session store: " + m_path + " ends before a transcript it should hold");
    }
    if (crc32_z(0, reinterpret_cast<const Bytef *>(text.data()), text.size()) != place.crc)
        throw std::runtime_error("session store: a transcript in " + m_path + " is not what was written");
    return text;
}

// Zeros over the text, rather than a hole: the blocks stay the file's, so the next transcript
// there changes no more than bytes, and the old text does not stay behind in freed blocks. Only
// the bytes written are overwritten, so that a full disk cannot refuse it.
void TranscriptFile::release(const Place &place)
{
    for (std::size_t i = 0; i < place.chunks.size() && i * chunkBytes < place.length; ++i)
        writeAll(zeros().data(), std::size_t(std::min<std::uint64_t>(chunkBytes, place.length - i * chunkBytes)),
                 offsetOf(place.chunks[i]), "empty a chunk of");
    std::lock_guard lock(m_mutex);
    m_dirty = true;
    m_released.insert(m_released.end(), place.chunks.begin(), place.chunks.end());
}

bool TranscriptFile::dirty() const
{
    std::lock_guard lock(m_mutex);
    return m_dirty;
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
        if (dirty)
            syncFile();
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

// After a failed sync the kernel may count the pages it could not write as clean, and the next
// sync would succeed without them: the file is taken for broken until the next start.
void TranscriptFile::syncFile()
{
    if (m_broken)
        throw std::runtime_error("session store: " + m_path + " failed a sync since the service started");
#ifdef __APPLE__
    const int synced = ::fsync(m_fd);
#else
    const int synced = ::fdatasync(m_fd);
#endif
    if (synced != 0) {
        m_broken = true;
        fail("sync", m_path);
    }
}

bool TranscriptFile::fits(const Place &place)
{
    return place.length <= std::uint64_t(place.chunks.size()) * chunkBytes &&
           place.chunks.size() == (place.length + chunkBytes - 1) / chunkBytes;
}

off_t TranscriptFile::offsetOf(std::uint32_t chunk)
{
    return off_t(chunk) * off_t(chunkBytes);
}

const std::string &TranscriptFile::zeros()
{
    static const std::string bytes(chunkBytes, '\0');
    return bytes;
}

void TranscriptFile::writeAll(const char *data, std::size_t size, off_t offset, const char *what) const
{
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::pwrite(m_fd, data + done, size - done, offset + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        if (n <= 0)
            fail(what, m_path);
        done += std::size_t(n);
    }
}

// Stops short only at the end of the file.
std::size_t TranscriptFile::readAll(char *data, std::size_t size, off_t offset) const
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(m_fd, data + done, size - done, offset + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("read", m_path);
        if (n == 0)
            break;
        done += std::size_t(n);
    }
    return done;
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
