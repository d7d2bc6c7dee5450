#pragma once
// One entry of an $ATTRIBUTE_LIST: which record holds which attribute extent.

#include <cstdint>
#include <string>

#include "ntfs/FILE_REFERENCE.h"

namespace resurgo {

struct ATTRIBUTE_LIST_ENTRY {
    std::uint16_t attributeId = 0;
    FILE_REFERENCE reference;
    std::uint64_t startingVcn = 0;
    std::string name;  // UTF-8; empty for the unnamed attribute
    std::uint32_t type = 0;
};

} // namespace resurgo
