#include "recovery/SearchProgress.h"

#include <algorithm>

namespace resurgo {

SearchProgress::SearchProgress(ProgressSink* target) : target_(target) {}

void SearchProgress::plan(Phase phase, std::uint64_t bytes) {
    const std::size_t i = static_cast<std::size_t>(phase);
    if (i < kPhases) weights_[i] = bytes;
}

void SearchProgress::begin(Phase phase) {
    const std::size_t i = static_cast<std::size_t>(phase);
    if (i >= kPhases) return;
    // The phase before is done, however far it reported.
    if (begun_) base_ = std::min<std::uint64_t>(kScale, base_ + span_);
    begun_ = true;
    current_ = i;
    std::uint64_t left = 0;
    for (std::size_t k = i; k < kPhases; ++k) left += std::min<std::uint64_t>(weights_[k], UINT64_MAX / kPhases);
    const std::uint64_t room = kScale - base_;
    // room * weight / left without overflow: room is at most kScale (2^20),
    // so the weights are brought below 2^40 first (weight <= left).
    std::uint64_t weight = std::min<std::uint64_t>(weights_[i], UINT64_MAX / kPhases);
    while (left >= (1ULL << 40)) {
        left >>= 1;
        weight >>= 1;
    }
    span_ = left == 0 ? 0 : room * weight / left;
    draw(base_);
}

void SearchProgress::setPosition(int position) {
    if (!begun_) begin(static_cast<Phase>(current_));
    const std::uint64_t p = static_cast<std::uint64_t>(std::clamp(position, 0, 100));
    draw(base_ + span_ * p / 100);
}

void SearchProgress::setDetail(const std::string& detail) {
    if (target_ != nullptr) target_->setDetail(detail);
}

void SearchProgress::draw(std::uint64_t at) {
    const int position = static_cast<int>(std::min<std::uint64_t>(at, kScale) * 100 / kScale);
    if (position <= shown_) return;
    shown_ = position;
    if (target_ != nullptr) target_->setPosition(position);
}

} // namespace resurgo
