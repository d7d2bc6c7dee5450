#pragma once
// One stage of a longer task on a progress sink: the stage's positions
// (0 to 100) are drawn on its part of the sink's scale, from `from` to
// `to`, and never go back, whatever the stage reports (a walk that ends
// by going back to 0, a stage that starts over).

#include <string>

#include "recovery/ProgressSink.h"

namespace resurgo {

class ProgressSpan : public ProgressSink {
public:
    // target may be null: positions are then dropped.
    ProgressSpan(ProgressSink* target, int from, int to);

    void setPosition(int position) override;
    void setDetail(const std::string& detail) override;
    // The last position drawn on the target's scale (from before any).
    int position() const { return shown_; }

private:
    ProgressSink* target_;
    int from_;
    int to_;
    int shown_;
    bool drawn_ = false;
};

} // namespace resurgo
