#pragma once
// Where a search reports its progress: positions 0 to 100, and, for a
// scan of a whole source, a line of detail (bytes scanned, records found)
// that a sink may show or not.

#include <string>

namespace resurgo {

class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    virtual void setPosition(int position) = 0;
    virtual void setDetail(const std::string& detail) { (void)detail; }
};

} // namespace resurgo
