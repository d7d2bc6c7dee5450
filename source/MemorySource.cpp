#include "source/MemorySource.h"

#include <algorithm>
#include <cstring>

#include "core/ErrorException.h"

namespace resurgo {

namespace {
// The error a failing sector reports on Linux (EIO) and Windows (ERROR_CRC).
#if defined(_WIN32)
constexpr std::uint32_t kBadSectorError = 23;
#else
constexpr std::uint32_t kBadSectorError = 5;
#endif
} // namespace

MemorySource::MemorySource(std::vector<std::uint8_t> bytes, std::uint32_t sectorSize)
    : owned_(std::move(bytes)), data_(owned_.data()), size_(owned_.size()), sectorSize_(sectorSize) {}

MemorySource::MemorySource(const std::uint8_t* data, std::size_t size, std::uint32_t sectorSize)
    : data_(data), size_(size), sectorSize_(sectorSize) {}

MemorySource::~MemorySource() = default;

std::size_t MemorySource::readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) {
    ++reads_;
    for (const auto& [from, count] : badRanges_) {
        if (offset < from + count && from < offset + length) {
            throw ErrorException(kErrReadDisk, kBadSectorError, diagnostic);
        }
    }
    if (offset >= size_) return 0;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
    std::memcpy(buffer, data_ + offset, n);
    return n;
}

} // namespace resurgo
