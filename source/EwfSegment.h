#pragma once
// How an EWF segment file (E01, E02 ...) ends, from its chain of section
// descriptors: with "next" (more segments follow), with "done" (the last
// segment), or cut short (a section runs past the end of the file). Read
// to name the segment that is missing or cut when libewf finds a set
// incomplete. Bytes in, values out.

#include <cstdint>

namespace resurgo {

class Source;

class EwfSegment {
public:
    enum class End { Next, Done, Cut, Unknown };

    // Sections followed at most (a segment holds a few dozen).
    static constexpr int kMaxSections = 1 << 16;

    // Unknown for a file that is no EWF segment or whose chain loops or
    // runs longer than kMaxSections; a read error counts as Cut.
    static End read(Source& file);
};

} // namespace resurgo
