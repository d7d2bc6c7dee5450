#pragma once
// The clusters a file record's non-resident attributes hold on disk, of
// every type ($DATA and its named streams, $INDEX_ALLOCATION, $BITMAP,
// $ATTRIBUTE_LIST, ...): what a file in use claims of the volume. Only the
// record's own attributes are read; an extension record is read on its own.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace resurgo {

class RecordClusters {
public:
    // Attribute header fields.
    static constexpr std::size_t kAttrType = 0x00;
    static constexpr std::size_t kAttrLength = 0x04;
    static constexpr std::size_t kAttrNonResident = 0x08;
    static constexpr std::size_t kAttrFlags = 0x0C;
    static constexpr std::size_t kAttrStartingVcn = 0x10;
    static constexpr std::size_t kAttrLastVcn = 0x18;
    static constexpr std::size_t kAttrRunsOffset = 0x20;
    // Smallest non-resident attribute header (up to the allocated size).
    static constexpr std::size_t kNonResidentHeaderBytes = 0x40;
    static constexpr std::uint16_t kFlagCompressed = 0x0001;
    // Smallest attribute: type and length.
    static constexpr std::size_t kMinAttributeBytes = 8;

    // Clusters [lcn, lcn + clusters) on disk.
    struct Run {
        std::uint64_t lcn = 0;
        std::uint64_t clusters = 0;
    };

    // Fixes up the record in bytes (in place) and appends the runs on disk
    // of its non-resident attributes to runs. Runs reaching past
    // totalClusters (when not 0) are cut there; a run list that breaks off
    // keeps the runs before the break. Raises 13 when the record fails its
    // fixup or its header can't be read.
    static void append(std::uint8_t* bytes, std::size_t length, std::uint64_t totalClusters, std::vector<Run>& runs);
};

} // namespace resurgo
