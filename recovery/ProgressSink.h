#pragma once
// Where a search reports its progress: positions 0 to 100.

namespace resurgo {

class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    virtual void setPosition(int position) = 0;
};

} // namespace resurgo
