#pragma once
// `resurgo restore SOURCE --all --output-dir DIR [--pattern P] [--days N]
// [--min-recoverable N]`: restores every file a search finds into DIR,
// recreating the rebuilt directory paths, never overwriting anything, never
// following a link, and skipping the files of which less than N percent can
// still come back.

#include <atomic>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/FileCopy.h"
#include "cli/SearchCommand.h"
#include "recovery/SystemServices.h"

namespace resurgo {
class OutputDirectory;
class OutputTree;
class RestoreRules;
class SearchJob;
} // namespace resurgo

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
        std::int32_t minRecoverable = 0;
        // Search with a scan of the whole source (restore --all --deep).
        bool deep = false;
        // Restore what search --snapshots lists, each file from its copy.
        bool snapshots = false;
        // Also restore what a carve finds (restore --all --carve): named
        // files under their directories, the rest under carved/TYPE/.
        bool carve = false;
    };
    struct Counts {
        std::size_t restored = 0;
        std::size_t guessed = 0;  // written through a guessed geometry (not in restored)
        std::size_t damaged = 0;
        std::size_t failed = 0;
        // Of the files written (restored or damaged): by how much of them
        // could still come back (100 %, less, 0 %).
        std::size_t intact = 0;
        std::size_t partlyOverwritten = 0;
        std::size_t overwritten = 0;
        // Restored, but whole runs read back as zeros.
        std::size_t wiped = 0;
        // Below --min-recoverable, not attempted.
        std::size_t skipped = 0;
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
    // What the files of one run share.
    struct Batch {
        const Options& options;
        RestoreRules& rules;
        FileCopy& copier;
        OutputTree& tree;
        std::ostream& out;
        std::ostream& err;
        TerminalProgress* progress;
        bool ended = false;  // a failure every later file would meet too
    };

    // The nearest directory that exists on the way up from path.
    std::string nearestExisting(std::string path);
    // Runs the search and gives its results in record order; says so when
    // there are none.
    int search(SearchJob& job, const Options& options, const std::string& source, std::ostream& out,
               std::ostream& err, TerminalProgress* progress, const std::atomic<std::uint8_t>* cancel,
               std::vector<FOUND_FILE>& results);
    void restoreOne(Batch& batch, const FOUND_FILE& found);
    // Counts and reports a file written (in full, damaged or wiped).
    void written(Batch& batch, const FOUND_FILE& found, FileCopy::Result result, const std::string& shown,
                 const OutputDirectory& directory);
    void writeSummary(const Options& options, std::ostream& out, std::size_t left, bool stopped, bool ended) const;
    // The output directory of --all, made or opened; false (and why on err)
    // when it can't be, for every file would fail the same way.
    static bool openTree(const std::string& dir, std::ostream& err, std::optional<OutputTree>& tree);
    // The exit status once the files were restored (or the run stopped).
    int endStatus(const SearchJob& job, bool stopped) const;

    FileProbe& probe_;
    Counts counts_;
};

} // namespace resurgo::cli
