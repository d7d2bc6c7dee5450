#pragma once
// A window of another source: a partition inside a disk. Reads are
// shifted by the slice's start and end where the slice ends, also when
// the source beneath goes on.

#include <cstdint>

#include "source/Source.h"

namespace resurgo {

class SliceSource : public Source {
public:
    // The slice [offset, offset + length) of parent, which must outlive it.
    // A slice reaching past the parent's end reads only what the parent has.
    SliceSource(Source& parent, std::uint64_t offset, std::uint64_t length);
    ~SliceSource() override;

    std::size_t readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) override;
    std::uint64_t size() const override { return length_; }
    std::uint32_t sectorSize() const override { return parent_.sectorSize(); }
    SourceIdentity identity() const override;
    std::uint64_t storedFrom(std::uint64_t offset) override;

    std::uint64_t offset() const { return offset_; }

private:
    Source& parent_;
    std::uint64_t offset_;
    std::uint64_t length_;
};

} // namespace resurgo
