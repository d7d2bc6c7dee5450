#pragma once
// What a search passed over for its least recoverable percentage alone:
// the deleted files that matched its pattern and age limit but of which
// less can still come back. An empty result tells from these what a lower
// minimum would list.

#include <cstdint>

namespace resurgo {

struct LESS_RECOVERABLE {
    std::uint64_t count = 0;
    // The highest recoverable percentage among them.
    std::int32_t best = 0;

    void add(std::int32_t recoverable) {
        if (count == 0 || recoverable > best) best = recoverable;
        ++count;
    }
    void add(const LESS_RECOVERABLE& other) {
        if (other.count == 0) return;
        if (count == 0 || other.best > best) best = other.best;
        count += other.count;
    }
};

} // namespace resurgo
