#pragma once
// The keys by which the result list sorts: column 0 the name, 1 the size,
// 2 the directory as stored (without the drive root the cell shows), 3 to 5
// the modification, creation and access times as stored UTC values, 6 the
// condition by the recoverable percentage (overwritten first). Names
// and directories compare byte by byte as unsigned characters, a prefix
// first; the UTF-8 bytes so order as the characters' code points.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "recovery/FOUND_FILE.h"

namespace resurgo {

class CompareFoundFiles {
public:
    static constexpr int kColumns = 7;

    // The list's sort callback: 1 when the key of result a is greater than
    // or equal to the key of result b, else 0; 0 for a column without key.
    static int compare(const std::vector<FOUND_FILE>& results, std::size_t a, std::size_t b, int column);
    // Strict order of the keys (a's key below b's), for sorting.
    static bool less(const FOUND_FILE& a, const FOUND_FILE& b, int column);
    // The key of a numeric column (1 and 3 to 6); 0 for the others.
    static std::uint64_t numericKey(const FOUND_FILE& f, int column);
};

} // namespace resurgo
