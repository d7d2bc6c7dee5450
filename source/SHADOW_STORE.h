#pragma once
// One shadow copy of a volume as its catalog describes it.

#include <cstdint>
#include <string>

namespace resurgo {

struct SHADOW_STORE {
    unsigned number = 0;          // 1 = the oldest
    std::uint64_t created = 0;    // FILETIME, UTC
    std::string identifier;       // the store's GUID, "600f0b69-5bdf-11e3-9d6c-005056c00008"
    std::uint64_t volumeSize = 0; // bytes of the volume the copy shows
};

} // namespace resurgo
