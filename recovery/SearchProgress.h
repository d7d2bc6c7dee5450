#pragma once
// One progress for a whole search, whatever it goes through: each phase
// reports 0 to 100 of its own work, drawn on its share of the scale, the
// shares weighed by the bytes each phase reads. Positions never go back,
// also when a phase starts over or ends at 0, and when a phase's weight
// becomes known only as it starts (the carve's free bytes): what is left
// of the scale is shared again among the phases still to come.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "recovery/ProgressSink.h"

namespace resurgo {

class SearchProgress : public ProgressSink {
public:
    // The phases a search may go through, in the order it runs them: the
    // one list of them. A new phase goes here, is weighed where the search
    // plans its phases (SearchJob) and starts with begin().
    enum class Phase : unsigned char {
        Walk,       // the volume's MFT, then $LogFile
        Snapshots,  // the walks of the volume's shadow copies
        DeepScan,   // the whole source read for records and index blocks
        Carve,      // free clusters (or the whole source) read for file contents
        Count,
    };

    // target may be null: positions are then dropped.
    explicit SearchProgress(ProgressSink* target);

    // The bytes phase reads; a phase not planned (or planned 0) takes no
    // share. May be called again before the phase begins.
    void plan(Phase phase, std::uint64_t bytes);
    // The positions that follow are phase's; the phases before it are done.
    void begin(Phase phase);
    void setPosition(int position) override;
    void setDetail(const std::string& detail) override;
    // The last position drawn (-1 before any).
    int shown() const { return shown_; }

private:
    static constexpr std::size_t kPhases = static_cast<std::size_t>(Phase::Count);
    // Scale of the fractions kept: finer than the target's 0..100.
    static constexpr std::uint64_t kScale = 1000000;

    void draw(std::uint64_t at);

    ProgressSink* target_;
    std::array<std::uint64_t, kPhases> weights_{};
    std::size_t current_ = 0;
    bool begun_ = false;
    // Where the current phase starts on kScale, and how much of it it has.
    std::uint64_t base_ = 0;
    std::uint64_t span_ = 0;
    int shown_ = -1;
};

} // namespace resurgo
