#pragma once
// A progress bar (0 to 100) drawn on one terminal line, redrawn only when
// the position changes.

#include <ostream>
#include <string>

#include "recovery/ProgressSink.h"

namespace resurgo::cli {

class TerminalProgress : public ProgressSink {
public:
    static constexpr int kBarWidth = 40;

    TerminalProgress(std::ostream& out, std::string label);
    ~TerminalProgress() override;
    TerminalProgress(const TerminalProgress&) = delete;
    TerminalProgress& operator=(const TerminalProgress&) = delete;

    // Positions outside 0..100 are clamped.
    void setPosition(int position) override;
    // Shown after the percentage from the next position drawn on.
    void setDetail(const std::string& detail) override { detail_ = detail; }
    // Wipes the bar's line (also done by the destructor); the next
    // position draws it again.
    void finish();
    int position() const { return position_; }
    // The bar's text for a position, without the carriage return.
    std::string render(int position) const;

private:
    std::ostream& out_;
    std::string label_;
    std::string detail_;
    int position_ = -1;
    bool drawn_ = false;
};

} // namespace resurgo::cli
