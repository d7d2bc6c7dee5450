#include "cli/ArgumentCheck.h"

#include "recovery/SearchJob.h"

namespace resurgo::cli {

namespace {

// Digits only; false on anything else or on a value above limit.
bool parseWhole(const std::string& text, std::uint64_t limit, std::uint64_t& value) {
    if (text.empty()) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > limit) return false;
    }
    value = v;
    return true;
}

} // namespace

bool ArgumentCheck::parseDays(const std::string& text, std::int32_t& days, std::string& error) {
    std::uint64_t v = 0;
    if (!parseWhole(text, kMaxDays, v)) {
        error = "--days takes a whole number of days from 0 to " + std::to_string(kMaxDays) + ", not \"" + text +
                "\"";
        return false;
    }
    days = static_cast<std::int32_t>(v);
    return true;
}

bool ArgumentCheck::parsePercent(const std::string& text, std::int32_t& percent, std::string& error) {
    std::uint64_t v = 0;
    if (!parseWhole(text, 100, v)) {
        error = "--min-recoverable takes a whole percentage from 0 to 100, not \"" + text + "\"";
        return false;
    }
    percent = static_cast<std::int32_t>(v);
    return true;
}

bool ArgumentCheck::checkPattern(const std::string& pattern, std::string& error) {
    std::size_t length = 0;
    if (!SearchJob::patternAccepted(pattern, length)) {
        error = "the pattern is " + std::to_string(length) + " characters long; the longest pattern accepted is " +
                std::to_string(SearchJob::kMaxPatternLength) + " characters";
        return false;
    }
    return true;
}

bool ArgumentCheck::parseRecord(const std::string& text, std::uint64_t& record, std::string& error) {
    constexpr std::uint64_t kMaxRecord = (1ULL << 48) - 1;
    if (!parseWhole(text, kMaxRecord, record)) {
        error = "--record takes an MFT record number (the Record column of `resurgo search`), not \"" + text + "\"";
        // Something that is no number at all may well be the file's name.
        if (text.find_first_not_of("0123456789-+") != std::string::npos) {
            error += "; to restore a file by its name, give --name '" + text + "'";
        }
        return false;
    }
    return true;
}

bool ArgumentCheck::parsePartition(const std::string& text, unsigned& partition, std::string& error) {
    std::uint64_t n = 0;
    if (!parseWhole(text, 65535, n) || n == 0) {
        error = "--partition takes a partition number as `resurgo partitions` lists it (1, 2, ...), not \"" + text +
                "\"";
        return false;
    }
    partition = static_cast<unsigned>(n);
    return true;
}

bool ArgumentCheck::parseSnapshot(const std::string& text, unsigned& snapshot, std::string& error) {
    std::uint64_t n = 0;
    if (!parseWhole(text, 65535, n) || n == 0) {
        error = "--snapshot takes a shadow copy's number as `resurgo snapshots` lists it (1, 2, ...), not \"" + text +
                "\"";
        return false;
    }
    snapshot = static_cast<unsigned>(n);
    return true;
}

bool ArgumentCheck::parseOffset(const std::string& text, std::uint64_t& offset, std::string& error) {
    if (!parseWhole(text, UINT64_MAX, offset)) {
        error = "--offset takes the byte offset of a file's record (a whole number as `resurgo search --json` lists "
                "it), not \"" + text + "\"";
        return false;
    }
    return true;
}

} // namespace resurgo::cli
