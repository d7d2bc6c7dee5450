#pragma once
// Checks of command-line values that the argument parser can't express
// with a message a user understands.

#include <cstdint>
#include <string>

namespace resurgo::cli {

class ArgumentCheck {
public:
    static constexpr std::int32_t kMaxDays = 1000000;

    // A whole number from 0 to kMaxDays (digits only). On failure, error
    // tells why.
    static bool parseDays(const std::string& text, std::int32_t& days, std::string& error);
    // A whole percentage from 0 to 100 for --min-recoverable.
    static bool parsePercent(const std::string& text, std::int32_t& percent, std::string& error);
    // At most SearchJob::kMaxPatternLength characters (code points).
    static bool checkPattern(const std::string& pattern, std::string& error);
    // An MFT record number: digits only, below 2^48.
    static bool parseRecord(const std::string& text, std::uint64_t& record, std::string& error);
    // A partition number as `resurgo partitions` lists it: 1 to 65535.
    static bool parsePartition(const std::string& text, unsigned& partition, std::string& error);
    // --snapshot: a shadow copy's number, 1 to 65535.
    static bool parseSnapshot(const std::string& text, unsigned& snapshot, std::string& error);
    // --offset: a byte offset on the source, as `search --json` lists it.
    static bool parseOffset(const std::string& text, std::uint64_t& offset, std::string& error);
};

} // namespace resurgo::cli
