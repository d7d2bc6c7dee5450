#include "recovery/ProgressSpan.h"

#include <algorithm>

namespace resurgo {

ProgressSpan::ProgressSpan(ProgressSink* target, int from, int to)
    : target_(target), from_(std::clamp(from, 0, 100)), to_(std::clamp(to, from_, 100)), shown_(from_) {}

void ProgressSpan::setPosition(int position) {
    const int scaled = from_ + (to_ - from_) * std::clamp(position, 0, 100) / 100;
    // The first position is drawn even where the span starts.
    if (scaled < shown_ || (scaled == shown_ && drawn_)) return;
    shown_ = scaled;
    drawn_ = true;
    if (target_ != nullptr) target_->setPosition(scaled);
}

void ProgressSpan::setDetail(const std::string& detail) {
    if (target_ != nullptr) target_->setDetail(detail);
}

} // namespace resurgo
