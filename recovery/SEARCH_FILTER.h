#pragma once
// What a search keeps: names matching the pattern, modified or created
// within the last days.

#include <cstdint>
#include <string>

namespace resurgo {

struct SEARCH_FILTER {
    std::int32_t days = 1;
    std::string pattern = "*";
};

} // namespace resurgo
