#pragma once
// What a search keeps: names matching the pattern, modified or created
// within the last days, of which at least minRecoverable percent can still
// come back; or, when record is given, that record alone, whatever its
// name and times.

#include <cstdint>
#include <optional>
#include <string>

namespace resurgo {

class LiveRecords;

struct SEARCH_FILTER {
    std::int32_t days = 1;
    std::string pattern = "*";
    std::int32_t minRecoverable = 0;
    std::optional<std::uint64_t> record = std::nullopt;
    // Sample the clusters of each file found for zeros (ZeroSample): reads
    // data, one seek or more per file.
    bool verify = false;
    // When the volume searched is a shadow copy: what the volume itself
    // holds now. The copy's files in use that it no longer holds are found
    // too, and its deleted files that it holds in use again are not.
    const LiveRecords* live = nullptr;
};

} // namespace resurgo
