#include "volume/SectorBuffer.h"

#include <cstring>

#include "core/ErrorException.h"
#include "platform/Platform.h"

namespace resurgo {

namespace {
// Largest single buffer the engine asks for: far above the 1 MiB pieces of
// the scan and the copy, far below anything a corrupt length could demand.
constexpr std::uint64_t kMaxBufferBytes = 256ULL << 20;
}

SectorBuffer::SectorBuffer(std::uint32_t sectorCount, std::uint32_t bytesPerSector)
    : bytesPerSector_(bytesPerSector), sectorCount_(sectorCount), size_(0), data_(nullptr) {
    std::uint64_t bytes = static_cast<std::uint64_t>(sectorCount) * bytesPerSector;
    if (bytes == 0 || bytes > kMaxBufferBytes) {
        throw ErrorException(kErrNoMemory, 0u, "SectorBuffer::SectorBuffer");
    }
    size_ = static_cast<std::size_t>(bytes);
    data_ = static_cast<std::uint8_t*>(platform().allocateZeroed(size_));
    if (data_ == nullptr) {
        std::uint32_t err = platform().lastError();
        throw ErrorException(kErrNoMemory, err, "SectorBuffer::SectorBuffer");
    }
}

SectorBuffer::~SectorBuffer() {
    if (data_ != nullptr) platform().release(data_, size_);
}

void SectorBuffer::fill(std::uint8_t value) { std::memset(data_, value, size_); }

} // namespace resurgo
