#include "source/SliceSource.h"

#include <algorithm>

#include "core/ErrorException.h"

namespace resurgo {

SliceSource::SliceSource(Source& parent, std::uint64_t offset, std::uint64_t length)
    : parent_(parent), offset_(offset), length_(length) {
    if (offset > UINT64_MAX - length) throw ErrorException(kErrReadDisk, "SliceSource::SliceSource <Range>");
}

SliceSource::~SliceSource() = default;

std::size_t SliceSource::readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) {
    if (offset >= length_) return 0;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, length_ - offset));
    return parent_.readAt(buffer, n, offset_ + offset, diagnostic);
}

std::uint64_t SliceSource::storedFrom(std::uint64_t offset) {
    if (offset >= length_) return offset;
    const std::uint64_t at = offset_ + offset;
    const std::uint64_t next = parent_.storedFrom(at);
    if (next <= at) return offset;
    return next - offset_ < length_ ? next - offset_ : length_;
}

SourceIdentity SliceSource::identity() const {
    SourceIdentity id = parent_.identity();
    id.offset += offset_;
    return id;
}

} // namespace resurgo
