#pragma once
// The log of a VHDX file that was not closed cleanly, replayed in memory:
// the writes its active sequence records (data sectors and zeroed ranges)
// are laid over the file's bytes as they are read, so that the image reads
// as it would after replay, and the file itself is never written.
//
// The log is read once and the work stays linear in its length whatever it
// holds: an entry's checksum comes from running checksums of the log (no
// copy of the entry), the active sequence from one pass over the entries.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace resurgo {

class Source;

class VhdxLog {
public:
    static constexpr std::uint32_t kSector = 4096;
    // Most 4 KiB sectors a replay may cover (zeroed ranges included).
    static constexpr std::uint64_t kMaxSectors = 1 << 20;
    // A log this long or longer reports its reading to progress.
    static constexpr std::uint64_t kProgressBytes = 8 << 20;

    // Reads the headers and the log of the VHDX file; raises SourceError
    // when the headers or the log are damaged. progress hears how much of
    // a long log is read (0-100).
    explicit VhdxLog(Source& file, const std::function<void(int)>& progress = {});

    // Nothing to replay (a clean file).
    bool empty() const { return sectors_.empty() && lastFileOffset_ == 0; }
    // The file's length after the replay.
    std::uint64_t fileSize(std::uint64_t physical) const { return physical > lastFileOffset_ ? physical : lastFileOffset_; }
    // Lays the replayed writes over buffer, which holds the file's bytes
    // [offset, offset + length).
    void apply(std::uint8_t* buffer, std::size_t length, std::uint64_t offset) const;
    std::size_t entriesReplayed() const { return entries_; }

    // CRC-32C (Castagnoli), the checksum of VHDX headers and log entries;
    // crc continues a checksum of the bytes before data.
    static std::uint32_t crc32c(const std::uint8_t* data, std::size_t length, std::uint32_t crc = 0);
    // The checksum of A followed by B from those of A and B (B's length given).
    static std::uint32_t crc32cCombine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB);

private:
    // File offset (4 KiB aligned) -> sector after the replay; an empty
    // vector is a zeroed sector.
    std::map<std::uint64_t, std::vector<std::uint8_t>> sectors_;
    std::uint64_t lastFileOffset_ = 0;
    std::size_t entries_ = 0;
};

} // namespace resurgo
