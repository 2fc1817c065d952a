#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <sys/types.h>
#include <string>
#include <string_view>
#include <vector>

// The transcripts of a store on disk, in one file beside its database, in chunks of 64 KiB.
// Each is written and read with a call per chunk, and a deleted one's chunks are zeroed. Through
// SQLite's pages, each transcript was written twice, read back and zeroed page by page; a file
// per transcript costs more to create and unlink than to write. The file keeps the size of the
// most chunks held at once, until a restart.
//
// A released chunk is used again only after the next sync() has put its zeros and the deletion
// that released it on the disk: after a power loss, the database never names a chunk that holds
// another text. What a power loss took before a sync (a text whose naming reached the disk first)
// is found by its checksum, and refused rather than handed out.
// Thread-safe, but for adopt(), which comes before everything else.
class TranscriptFile {
public:
    using Chunks = std::vector<std::uint32_t>;
    static constexpr std::size_t chunkBytes = 64 * 1024;
    // Where a text is, as the database keeps it.
    struct Place {
        Chunks chunks;
        std::uint64_t length = 0;
        std::uint32_t crc = 0;  // CRC-32 of the text
    };

    // Opens or creates the file; throws std::runtime_error.
    explicit TranscriptFile(const std::string &path);
    ~TranscriptFile();
    TranscriptFile(const TranscriptFile &) = delete;
    TranscriptFile &operator=(const TranscriptFile &) = delete;

    // The places that the database names, once, before anything else. Every other chunk is
    // emptied, in case a crash left a text there that nothing names any more. A place that does
    // not fit the file, or shares a chunk with one before it, is damaged: false in the answer.
    std::vector<bool> adopt(const std::vector<Place> &named);
    Place write(std::string_view text);
    // Throws std::runtime_error when the place does not hold the text it was given.
    std::string read(const Place &place) const;
    // Empties the text's chunks; they are used again after the next sync(). Throws
    // std::runtime_error, the place still to be released.
    void release(const Place &place);
    bool dirty() const;
    // Puts what was written and emptied on the disk, then runs `databaseSynced` (the database's
    // own sync): the chunks released before this call are then free. Throws std::runtime_error,
    // and after a failed sync of the file, always.
    void sync(const std::function<void()> &databaseSynced);

    // How a chunk list is kept in the database: four little-endian bytes per chunk.
    static std::string encode(const Chunks &chunks);
    static Chunks decode(std::string_view bytes);

private:
    static bool fits(const Place &place);
    static off_t offsetOf(std::uint32_t chunk);
    static const std::string &zeros();
    void writeAll(const char *data, std::size_t size, off_t offset, const char *what) const;
    std::size_t readAll(char *data, std::size_t size, off_t offset) const;
    void syncFile();

    int m_fd = -1;
    std::string m_path;
    mutable std::mutex m_mutex;      // the lists and the end; the file's calls go without it
    std::uint32_t m_end = 0;         // chunks the file spans
    Chunks m_free;
    Chunks m_released;               // emptied, waiting for the sync that makes their deletion last
    bool m_dirty = false;            // written or emptied since the last sync
    std::atomic<bool> m_broken = false;  // a sync of the file failed
};
