#pragma once
// One $DATA attribute (one extent of a stream) of a record.

#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/RUN_LIST.h"

namespace resurgo {

struct DATA_ATTRIBUTE {
    // Empty when resident. Runs naming clusters outside the volume leave
    // the attribute parsed; reading the runs then raises (see RUN_LIST).
    RUN_LIST runs;
    std::uint32_t type = 0x80;
    bool nonResident = false;
    std::uint8_t nameLength = 0;      // UTF-16 units
    std::string name;                 // UTF-8; empty for the file's unnamed data
    bool compressed = false;          // attribute flags low byte non-zero
    bool sparse = false;              // attribute flag 0x8000
    std::uint16_t attributeId = 0;
    std::vector<std::uint8_t> value;  // resident value bytes
    std::uint32_t valueLength = 0;
    std::uint16_t residentFlags = 0;
    std::int64_t startingVcn = 0;
    std::int64_t lastVcn = 0;
    std::uint16_t compressionUnit = 0;
    std::uint64_t allocatedSize = 0;
    std::uint64_t dataSize = 0;
    std::uint64_t initializedSize = 0;

    bool isUnnamed() const { return nameLength == 0; }
};

} // namespace resurgo
