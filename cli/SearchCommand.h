#pragma once
// `resurgo search`: runs the engine's SearchJob on an image or a block
// device and prints the results as a table or as JSON.

#include <atomic>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace resurgo::cli {

class TerminalProgress;
}  // namespace resurgo::cli

namespace resurgo {
class ProgressSink;
class SearchJob;
}

namespace resurgo::cli {

class SearchCommand {
public:
    // The age limit when --days is not given.
    static constexpr std::int32_t kDefaultDays = 365;

    struct Options {
        std::string source;
        std::string pattern = "*";
        std::int32_t days = kDefaultDays;
        // Files of which less can still come back (percent) are not listed.
        std::int32_t minRecoverable = 0;
        bool json = false;
        // Columns the table may take; 0: no limit (names and directories
        // whole).
        std::size_t width = 0;
        std::optional<unsigned> partition;
        // Scan the whole source (or partition) for MFT records.
        bool deep = false;
        // Sample every file's clusters for zeros (wiped data).
        bool verify = false;
        // Search the volume's shadow copies too.
        bool snapshots = false;
        // Also carve the free clusters for files without records.
        bool carve = false;
        // The progress bar goes on while the results are written (when
        // they don't go to the terminal the bar is drawn on).
        bool progressWhileWriting = false;
    };

    // Share of the progress bar (0-100) that the search takes; writing the
    // results takes the rest.
    static constexpr int kSearchProgress = 60;

    SearchCommand();
    virtual ~SearchCommand();

    // Returns the exit status. progress (wiped before anything is printed)
    // and cancel may be null.
    int run(const Options& options, std::ostream& out, std::ostream& err, TerminalProgress* progress,
            const std::atomic<std::uint8_t>* cancel);

    // Runs job on source with pattern and days, and reports the failures
    // that leave no results (bad pattern, boot record, MFT). Returns
    // kExitOk when the caller goes on with the job's results, else the
    // exit status.
    // The job reports to stage when given, else to progress.
    static int runJob(SearchJob& job, const std::string& source, const std::string& pattern, std::int32_t days,
                      TerminalProgress* progress, const std::atomic<std::uint8_t>* cancel, std::ostream& err,
                      ProgressSink* stage = nullptr);

    // After a walk of the MFT that could not see all of it: the warnings
    // that say how many records and where (one line each, or nothing).
    static std::string walkGaps(const SearchJob& job);
    // The exit status of a search that listed found files, and what ended
    // it early on err.
    static int endStatus(const SearchJob& job, std::size_t found, std::ostream& err);

    // "disk.img", or "disk.img partition 2" when a partition was chosen.
    static std::string shownSource(const std::string& source, unsigned partition);

    // After a search with --snapshots: the copies searched, how many files
    // came from them, and what could not be read.
    static void reportSnapshots(const SearchJob& job, const std::string& source, std::ostream& err);

    // After a deep search: where its geometry came from, when not from the
    // boot sector, and what the scan read.
    static void reportDeep(const SearchJob& job, std::ostream& err);
    // What the carve read and found (search --carve).
    static void reportCarve(const SearchJob& job, std::ostream& err);

    // "matching "*", modified or created within the last 1 day", and ", at
    // least N% recoverable" when minRecoverable is above 0.
    static std::string describeFilter(const std::string& pattern, std::int32_t days, std::int32_t minRecoverable = 0);

    // After a whole search that listed nothing: what was looked for, then
    // why nothing matched and what would list something (a lower least
    // recoverable percentage, a wider age limit when older files match,
    // else the pattern, and --deep when no deleted file matches at all and
    // the search did not scan). ending closes the first sentence (".",
    // "; nothing restored."); option is the one that took the pattern.
    static void writeNothingFound(std::ostream& out, const SearchJob& job, const std::string& source,
                                  const std::string& pattern, std::int32_t days, const std::string& ending,
                                  const std::string& option = "--pattern");
    // "3 older deleted files match "*.txt", the newest modified or created
    // on 2019-03-01: --days 2110 includes it, --days 6000 all 3."; empty
    // when the age limit left none out.
    static std::string olderMatches(const SearchJob& job, const std::string& pattern);
    // "2 deleted files matching "*.txt" within the age limit are less
    // recoverable, at most 40%: --min-recoverable 40 includes the most
    // recoverable, --min-recoverable 0 all 2."; empty when the search's
    // least recoverable percentage left none out.
    static std::string lessRecoverable(const SearchJob& job, const std::string& pattern);
};

} // namespace resurgo::cli
