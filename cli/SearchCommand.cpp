#include "cli/SearchCommand.h"

#include <algorithm>
#include <vector>

#include "cli/ArgumentCheck.h"
#include "cli/ExitCode.h"
#include "cli/FailureReport.h"
#include "recovery/ProgressSpan.h"
#include "cli/ResultFormatter.h"
#include "cli/SourceChoice.h"
#include "cli/TerminalProgress.h"
#include "recovery/SystemServices.h"
#include "recovery/DeepSearch.h"
#include "recovery/SearchJob.h"
#include "recovery/SourceStack.h"

namespace resurgo::cli {

SearchCommand::SearchCommand() = default;
SearchCommand::~SearchCommand() = default;

std::string SearchCommand::shownSource(const std::string& source, unsigned partition) {
    // The path as the user typed it may hold anything: shown escaped.
    const std::string shown = VisibleText::of(source);
    return partition == 0 ? shown : shown + " partition " + std::to_string(partition);
}

std::string SearchCommand::describeFilter(const std::string& pattern, std::int32_t days, std::int32_t minRecoverable) {
    return "matching \"" + pattern + "\", modified or created within the last " + std::to_string(days) +
           (days == 1 ? " day" : " days") +
           (minRecoverable > 0 ? ", at least " + std::to_string(minRecoverable) + "% recoverable" : std::string());
}

namespace {

bool matchesEverything(const std::string& pattern) {
    return !pattern.empty() && pattern.find_first_not_of('*') == std::string::npos;
}

// An age limit that includes a file the given number of days old, with a
// day to spare for the clock moving on.
std::string daysOption(std::uint64_t days) {
    return "--days " + std::to_string(std::min<std::uint64_t>(days + 1, ArgumentCheck::kMaxDays));
}

} // namespace

std::string SearchCommand::olderMatches(const SearchJob& job, const std::string& pattern) {
    const OLDER_MATCHES& older = job.filesystem.olderMatches();
    if (older.count == 0) return std::string();
    const std::string date = ResultFormatter::localText(FILE_TIME::fromUtc(older.newestUtc)).substr(0, 10);
    const std::string newest = daysOption(older.daysForNewest()), all = daysOption(older.daysForAll());
    if (older.count == 1) {
        return "1 older deleted file matches \"" + pattern + "\", modified or created on " + date + ": " + newest +
               " includes it.";
    }
    return std::to_string(older.count) + " older deleted files match \"" + pattern +
           "\", the newest modified or created on " + date + ": " +
           (newest == all ? all + " includes them all."
                          : newest + " includes it, " + all + " all " + std::to_string(older.count) + ".");
}

std::string SearchCommand::lessRecoverable(const SearchJob& job, const std::string& pattern) {
    const LESS_RECOVERABLE& less = job.filesystem.lessRecoverable();
    if (less.count == 0) return std::string();
    const std::string best = "--min-recoverable " + std::to_string(less.best);
    if (less.count == 1) {
        return "1 deleted file matching \"" + pattern + "\" within the age limit is less recoverable, " +
               std::to_string(less.best) + "%: " + best + " includes it.";
    }
    return std::to_string(less.count) + " deleted files matching \"" + pattern +
           "\" within the age limit are less recoverable, at most " + std::to_string(less.best) + "%: " +
           (less.best == 0 ? best + " includes them all."
                           : best + " includes the most recoverable, --min-recoverable 0 all " +
                                 std::to_string(less.count) + ".");
}

namespace {

// "records 64-70 at byte 4259840, ..." for the first ranges (at: " at
// byte ", or what else goes between the records and the byte).
std::string rangesText(const std::vector<MFT_GAPS::Range>& ranges, const char* at) {
    std::string text;
    for (std::size_t i = 0; i < ranges.size() && i < MFT_GAPS::kShownRanges; ++i) {
        const MFT_GAPS::Range& r = ranges[i];
        if (i != 0) text += ", ";
        text += r.count == 1 ? "record " + std::to_string(r.first)
                             : "records " + std::to_string(r.first) + "-" + std::to_string(r.first + r.count - 1);
        text += at + std::to_string(r.offset);
    }
    if (ranges.size() > MFT_GAPS::kShownRanges) {
        text += " and " + std::to_string(ranges.size() - MFT_GAPS::kShownRanges) + " more range(s)";
    }
    return text;
}

} // namespace

std::string SearchCommand::walkGaps(const SearchJob& job) {
    const MFT_GAPS& gaps = job.filesystem.gaps();
    std::string text;
    if (!gaps.unreadable.empty()) {
        const std::uint64_t n = gaps.unreadableRecords;
        text += "resurgo: warning: " + std::to_string(n) + (n == 1 ? " MFT record" : " MFT records") +
                " could not be read from the source (" + rangesText(gaps.unreadable, " at byte ") +
                " of the volume): deleted files in them are not listed\n";
    }
    if (!gaps.repeated.empty()) {
        text += "resurgo: warning: the MFT's run list maps clusters a second time (" +
                rangesText(gaps.repeated, " onto the clusters at byte ") +
                " of the volume, mapped before): that mapping was dropped, the records there are listed once\n";
    }
    // What could not be read of the journal: files rebuilt from it may be missing.
    for (const std::string& w : job.filesystem.logWarnings()) text += "resurgo: warning: " + w + "\n";
    return text;
}

void SearchCommand::writeNothingFound(std::ostream& out, const SearchJob& job, const std::string& source,
                                      const std::string& pattern, std::int32_t days, const std::string& ending,
                                      const std::string& option) {
    const bool older = job.filesystem.olderMatches().count > 0;
    if (job.filesystem.lessRecoverable().count > 0 || older) {
        out << "No deleted files " << describeFilter(pattern, days, job.options.minRecoverable) << " were found on " << source
            << ending << '\n';
        if (job.filesystem.lessRecoverable().count > 0) out << lessRecoverable(job, pattern) << '\n';
        if (older) out << olderMatches(job, pattern) << '\n';
    } else if (matchesEverything(pattern)) {
        out << "No deleted files of any age were found on " << source << ending << '\n'
            << (job.options.deep ? "The scan found no record of a deleted file, nor any outside the volume's MFT.\n"
                         : "A deleted file is listed while its MFT record is left; new files reuse the records of "
                           "deleted ones.\n");
    } else {
        out << "No deleted file of any age on " << source << " has a name matching \"" << pattern << '"' << ending
            << '\n'
            << "The pattern matches whole names, case-insensitively (* any run of characters, ? one character): "
            << (pattern.find('*') == std::string::npos ? option + " '*" + pattern + "*' also finds names that hold it"
                                                        : option + " '*' matches every deleted file")
            << ".\n";
    }
    // A volume formatted again lists none of its former files.
    if (!job.options.deep && !older && job.filesystem.lessRecoverable().count == 0) {
        out << "If the volume was formatted since, --deep reads all of the source for its former files.\n";
    }
}

void SearchCommand::reportCarve(const SearchJob& job, std::ostream& err) {
    if (job.outcome() == SearchJob::Outcome::BadPattern) return;
    std::size_t carved = 0;
    std::size_t named = 0;
    std::size_t logged = 0;
    for (const FOUND_FILE& f : job.filesystem.results()) {
        if (f.source != ResultSource::Carved) continue;
        ++carved;
        if (f.nameSource == FOUND_FILE::NameSource::Index) ++named;
        if (f.nameSource == FOUND_FILE::NameSource::Logfile) ++logged;
    }
    const CarveSearch::Report& r = job.carveReport();
    if (job.failure() && job.outcome() == SearchJob::Outcome::Completed) {
        err << "resurgo: the volume can't be walked (" << FailureReport::reason(*job.failure())
            << "); the whole source was carved\n";
    }
    err << "resurgo: carving read " << r.bytesLooked << " bytes"
        << (r.fromBitmap ? " of free clusters" : " (the whole source)") << " and found " << carved
        << (carved == 1 ? " file" : " files") << ", " << named << " named from " << r.indexNames
        << " directory index entries (" << r.slackNames << " of them left in index blocks' slack), " << logged
        << " from $LogFile\n";
}

int SearchCommand::runJob(SearchJob& job, const std::string& source, const std::string& pattern, std::int32_t days,
                          TerminalProgress* progress, const std::atomic<std::uint8_t>* cancel, std::ostream& err,
                          ProgressSink* stage) {
    job.driveRoot = source;
    job.pattern = pattern;
    job.days = days;
    job.run(stage != nullptr ? stage : progress, cancel);
    if (progress) progress->finish();
    if (job.options.deep) reportDeep(job, err);
    if (job.options.carve) reportCarve(job, err);
    const bool searched = job.outcome() != SearchJob::Outcome::BootFailed &&
                          job.outcome() != SearchJob::Outcome::OpenFailed;
    if (searched && job.sourceCutOff()) {
        err << "resurgo: warning: " << FailureReport::cutOff(job, source)
            << ": files stored past the end are lost in part or whole\n";
    }
    if (searched) err << walkGaps(job);
    switch (job.outcome()) {
        case SearchJob::Outcome::BadPattern:
            err << "resurgo: the pattern is longer than the search accepts\n";
            return kExitUsage;
        case SearchJob::Outcome::BootFailed:
            return FailureReport::bootFailure(*job.failure(), source, err, &job);
        case SearchJob::Outcome::OpenFailed:
            return FailureReport::openFailure(*job.failure(), source, err, &job);
        case SearchJob::Outcome::Completed:
        case SearchJob::Outcome::Cancelled:
        case SearchJob::Outcome::WalkFailed:
            break;
    }
    return kExitOk;
}

void SearchCommand::reportDeep(const SearchJob& job, std::ostream& err) {
    const DeepSearch* deep = job.deepSearch();
    if (deep == nullptr || job.outcome() == SearchJob::Outcome::BadPattern) return;
    const DeepGeometry& g = deep->geometry();
    const std::string layout = std::to_string(g.geometry.clusterBytes()) + "-byte clusters, " +
                               std::to_string(g.geometry.mftRecordSize) + "-byte records, the volume starting at byte " +
                               std::to_string(g.volumeStart);
    switch (g.from) {
        case DeepGeometry::From::BootSector:
            break;
        case DeepGeometry::From::BackupBootSector:
            err << "resurgo: the boot sector is damaged or unreadable; the backup boot sector at byte " << g.bootOffset
                << " gives the geometry\n";
            break;
        case DeepGeometry::From::Inferred:
            err << "resurgo: neither boot sector is valid (damaged, blank or unreadable); inferred from ";
            if (g.logAgreements > 0) {
                err << g.logAgreements << " record initialization(s) $LogFile holds: ";
            } else {
                err << g.indexAgreements << " index block(s) and " << g.recordAgreements
                    << " record(s) found where a $MFT puts them: ";
            }
            err << layout << '\n';
            if (!g.confirmed) {
                err << "resurgo: warning: too little of that agrees to confirm it: the geometry is a guess, and a "
                       "file whose data is read through it may get another file's bytes (Recoverable ends in ?; "
                       "such a restore exits with status "
                    << kExitGuessedGeometry << ")\n";
            }
            break;
        case DeepGeometry::From::Assumed:
            err << "resurgo: neither boot sector is valid (damaged, blank or unreadable) and nothing found tells the "
                   "geometry; guessed " << layout
                << ": a file whose data is read through it may get another file's bytes (Recoverable ends in ?; "
                   "such a restore exits with status "
                << kExitGuessedGeometry << ")\n";
            break;
    }
    const DeepSearch::Report& r = deep->report();
    if (!r.currentMft) err << "resurgo: the volume's MFT does not open; every record found on the source is listed\n";
    err << "resurgo: deep scan read " << r.bytesScanned << " bytes and found " << r.recordsFound << " MFT records and "
        << r.indexBlocksFound << " index blocks\n";
}

int SearchCommand::run(const Options& options, std::ostream& out, std::ostream& err, TerminalProgress* progress,
                       const std::atomic<std::uint8_t>* cancel) {
    SearchJob job;
    SourceStack& stack = job.sourceStack();
    if (int status = SourceChoice::open(stack, options.source, options.partition, err, options.deep || options.carve);
        status != kExitOk) {
        return status;
    }
    const std::string source = shownSource(options.source, stack.partition());
    job.options.minRecoverable = options.minRecoverable;
    job.options.deep = options.deep;
    job.options.verify = options.verify;
    job.options.snapshots = options.snapshots;
    job.options.carve = options.carve;
    // One bar over the search and the writing, never going back.
    ProgressSpan searching(progress, 0, kSearchProgress);
    if (int status = runJob(job, source, options.pattern, options.days, progress, cancel, err,
                            progress != nullptr ? &searching : nullptr);
        status != kExitOk) {
        return status;
    }
    ProgressSpan writing(options.progressWhileWriting ? progress : nullptr, kSearchProgress, 100);
    if (options.snapshots) reportSnapshots(job, source, err);

    const auto& results = job.filesystem.results();
    const std::string filter = describeFilter(options.pattern, options.days, options.minRecoverable);
    if (options.json) {
        ResultFormatter::writeJson(out, results, &writing, options.snapshots);
        out << '\n';
    } else if (results.empty()) {
        if (job.outcome() == SearchJob::Outcome::Completed) {
            writeNothingFound(out, job, source, options.pattern, options.days, ".");
        } else {
            out << "No deleted files " << filter << " were found on " << source << " before the search stopped.\n";
        }
    } else {
        ResultFormatter::writeTable(out, results, options.width,
                                    options.deep ? ResultFormatter::Lead::Offset : ResultFormatter::Lead::Record,
                                    &writing, options.snapshots);
        out << '\n' << results.size() << (results.size() == 1 ? " deleted file " : " deleted files ") << filter
            << " on " << source
            << (job.outcome() == SearchJob::Outcome::Completed   ? "."
                : job.outcome() == SearchJob::Outcome::Cancelled ? " (search cancelled)."
                                                                  : " (the search stopped early).")
            << '\n';
        if (job.outcome() == SearchJob::Outcome::Completed && job.filesystem.olderMatches().count > 0) {
            out << olderMatches(job, options.pattern) << '\n';
        }
    }
    out.flush();
    if (progress != nullptr) progress->finish();

    return endStatus(job, results.size(), err);
}

void SearchCommand::reportSnapshots(const SearchJob& job, const std::string& source, std::ostream& err) {
    for (const std::string& w : job.snapshotWarnings()) err << "resurgo: warning: " << w << '\n';
    const std::size_t copies = job.snapshots().size();
    if (copies == 0 && job.snapshotWarnings().empty()) {
        err << "resurgo: " << source << " has no shadow copies; the volume itself was searched\n";
    } else if (copies != 0) {
        std::size_t found = 0;
        for (const FOUND_FILE& f : job.filesystem.results()) found += f.snapshot != 0 ? 1 : 0;
        err << "resurgo: " << copies << (copies == 1 ? " shadow copy" : " shadow copies") << " searched; " << found
            << (found == 1 ? " file" : " files") << " listed from them\n";
    }
}

int SearchCommand::endStatus(const SearchJob& job, std::size_t found, std::ostream& err) {
    if (job.outcome() == SearchJob::Outcome::Cancelled) {
        err << "resurgo: search cancelled; " << found << " file(s) found before the stop are listed\n";
        return kExitCancelled;
    }
    if (job.outcome() == SearchJob::Outcome::WalkFailed) {
        err << "resurgo: the search stopped early: " << FailureReport::reason(*job.failure()) << " ("
            << job.failure()->diagnostic() << "); the files found before are listed\n";
        return kExitWalkFailed;
    }
    if (!job.filesystem.gaps().empty()) {
        err << "resurgo: the list may lack deleted files: the MFT could not be read whole\n";
        return kExitIncomplete;
    }
    return kExitOk;
}

} // namespace resurgo::cli
