#pragma once
// `resurgo restore SOURCE --all --output-dir DIR [--pattern P] [--days N]`:
// restores every file a search finds into DIR, recreating the rebuilt
// directory paths, never overwriting anything.

#include <atomic>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "cli/SearchCommand.h"
#include "platform/FileProbe.h"

namespace resurgo::cli {

class TerminalProgress;

class BatchRestore {
public:
    struct Options {
        std::string source;
        std::string outputDir;
        std::string pattern = "*";
        std::int32_t days = SearchCommand::kDefaultDays;
        std::optional<unsigned> partition;
    };
    struct Counts {
        std::size_t restored = 0;
        std::size_t damaged = 0;
        std::size_t failed = 0;
    };

    explicit BatchRestore(FileProbe& probe);
    virtual ~BatchRestore();

    // Lists each file written on out (its path below DIR) and each failure
    // on err, then a summary; progress (the search, then the files) may be
    // null. Returns the
    // exit status.
    int run(const Options& options, std::ostream& out, std::ostream& err, TerminalProgress* progress,
            const std::atomic<std::uint8_t>* cancel);
    const Counts& counts() const { return counts_; }

private:
    FileProbe& probe_;
    Counts counts_;
};

} // namespace resurgo::cli
