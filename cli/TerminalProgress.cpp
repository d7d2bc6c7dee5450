#include "cli/TerminalProgress.h"

#include <algorithm>
#include <cstdio>

namespace resurgo::cli {

TerminalProgress::TerminalProgress(std::ostream& out, std::string label) : out_(out), label_(std::move(label)) {}

TerminalProgress::~TerminalProgress() { finish(); }

void TerminalProgress::setPosition(int position) {
    position = std::clamp(position, 0, 100);
    if (position == position_) return;
    position_ = position;
    out_ << '\r' << render(position) << std::flush;
    drawn_ = true;
}

void TerminalProgress::finish() {
    if (!drawn_) return;
    // Carriage return, erase the line.
    out_ << "\r\033[K" << std::flush;
    drawn_ = false;
    position_ = -1;  // the next position is drawn again
}

std::string TerminalProgress::render(int position) const {
    position = std::clamp(position, 0, 100);
    int filled = position * kBarWidth / 100;
    std::string bar = label_ + " [";
    bar.append(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kBarWidth - filled), '.');
    char pct[8];
    std::snprintf(pct, sizeof pct, "] %3d%%", position);
    bar += pct;
    if (!detail_.empty()) bar += "  " + detail_;
    return bar;
}

} // namespace resurgo::cli
