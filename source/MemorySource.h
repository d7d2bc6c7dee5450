#pragma once
// A source held in memory: hand-built volumes, fuzzing input, images
// loaded whole. Ranges can be marked unreadable to stand for bad sectors.

#include <cstdint>
#include <utility>
#include <vector>

#include "source/Source.h"

namespace resurgo {

class MemorySource : public Source {
public:
    // Owns its bytes.
    explicit MemorySource(std::vector<std::uint8_t> bytes, std::uint32_t sectorSize = 0);
    // Reads bytes that the caller keeps alive (and may change between reads).
    MemorySource(const std::uint8_t* data, std::size_t size, std::uint32_t sectorSize = 0);
    ~MemorySource() override;

    std::size_t readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) override;
    std::uint64_t size() const override { return size_; }
    std::uint32_t sectorSize() const override { return sectorSize_; }
    SourceIdentity identity() const override { return SourceIdentity{}; }

    // Any read touching [offset, offset + length) fails as a bad sector does.
    void addBadRange(std::uint64_t offset, std::uint64_t length) { badRanges_.emplace_back(offset, length); }
    std::uint64_t readCount() const { return reads_; }

private:
    std::vector<std::uint8_t> owned_;
    const std::uint8_t* data_;
    std::size_t size_;
    std::uint32_t sectorSize_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> badRanges_;
    std::uint64_t reads_ = 0;
};

} // namespace resurgo
