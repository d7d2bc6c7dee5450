#pragma once
// The cancel flag and the progress sink of one search.

#include <atomic>
#include <cstdint>

namespace resurgo {

class ProgressSink;

struct SEARCH_CONTEXT {
    // 1 asks the walk to stop; looked at once per record.
    const std::atomic<std::uint8_t>* cancel = nullptr;
    ProgressSink* progress = nullptr;
};

} // namespace resurgo
