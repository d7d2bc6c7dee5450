#pragma once
// The log of a VHDX file that was not closed cleanly, replayed in memory:
// the writes its active sequence records (data sectors and zeroed ranges)
// are laid over the file's bytes as they are read, so that the image reads
// as it would after replay, and the file itself is never written.

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace resurgo {

class Source;

class VhdxLog {
public:
    static constexpr std::uint32_t kSector = 4096;
    // Most 4 KiB sectors a replay may cover (zeroed ranges included).
    static constexpr std::uint64_t kMaxSectors = 1 << 20;

    // Reads the headers and the log of the VHDX file; raises SourceError
    // when the headers or the log are damaged.
    explicit VhdxLog(Source& file);

    // Nothing to replay (a clean file).
    bool empty() const { return sectors_.empty() && lastFileOffset_ == 0; }
    // The file's length after the replay.
    std::uint64_t fileSize(std::uint64_t physical) const { return physical > lastFileOffset_ ? physical : lastFileOffset_; }
    // Lays the replayed writes over buffer, which holds the file's bytes
    // [offset, offset + length).
    void apply(std::uint8_t* buffer, std::size_t length, std::uint64_t offset) const;
    std::size_t entriesReplayed() const { return entries_; }

    // CRC-32C (Castagnoli), the checksum of VHDX headers and log entries.
    static std::uint32_t crc32c(const std::uint8_t* data, std::size_t length);

private:
    // File offset (4 KiB aligned) -> sector after the replay; an empty
    // vector is a zeroed sector.
    std::map<std::uint64_t, std::vector<std::uint8_t>> sectors_;
    std::uint64_t lastFileOffset_ = 0;
    std::size_t entries_ = 0;
};

} // namespace resurgo
