#include "cli/SearchCommand.h"

#include "cli/ArgumentCheck.h"
#include "cli/ExitCode.h"
#include "cli/FailureReport.h"
#include "cli/ProgressSpan.h"
#include "cli/ResultFormatter.h"
#include "cli/SourceChoice.h"
#include "cli/TerminalProgress.h"
#include "recovery/DeepSearch.h"
#include "recovery/SearchJob.h"
#include "recovery/SourceStack.h"

namespace resurgo::cli {

SearchCommand::SearchCommand() = default;
SearchCommand::~SearchCommand() = default;

std::string SearchCommand::shownSource(const std::string& source, unsigned partition) {
    return partition == 0 ? source : source + " partition " + std::to_string(partition);
}

std::string SearchCommand::describeFilter(const std::string& pattern, std::int32_t days, std::int32_t minRecoverable) {
    return "matching \"" + pattern + "\", modified or created within the last " + std::to_string(days) +
           (days == 1 ? " day" : " days") +
           (minRecoverable > 0 ? ", at least " + std::to_string(minRecoverable) + "% recoverable" : std::string());
}

int SearchCommand::runJob(SearchJob& job, const std::string& source, const std::string& pattern, std::int32_t days,
                          TerminalProgress* progress, const std::atomic<std::uint8_t>* cancel, std::ostream& err,
                          ProgressSink* stage) {
    job.driveRoot = source;
    job.pattern = pattern;
    job.days = days;
    job.run(stage != nullptr ? stage : progress, cancel);
    if (progress) progress->finish();
    if (job.deep) reportDeep(job, err);
    if (job.sourceCutOff()) {
        err << "resurgo: warning: " << source << " holds " << job.sourceBytes() << " bytes but its NTFS volume is "
            << job.volumeBytes() << " bytes long: files whose data lies past the end are lost in part or whole\n";
    }
    switch (job.outcome()) {
        case SearchJob::Outcome::BadPattern:
            err << "resurgo: the pattern is longer than the search accepts\n";
            return kExitUsage;
        case SearchJob::Outcome::BootFailed:
            return FailureReport::bootFailure(*job.failure(), source, err);
        case SearchJob::Outcome::OpenFailed:
            return FailureReport::openFailure(*job.failure(), source, err);
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
            err << "resurgo: the boot sector is unreadable; the backup boot sector at byte " << g.bootOffset
                << " gives the geometry\n";
            break;
        case DeepGeometry::From::Inferred:
            err << "resurgo: both boot sectors are unreadable; inferred from " << g.evidence
                << " index block(s) and MFT copies found: " << layout << '\n';
            break;
        case DeepGeometry::From::Assumed:
            err << "resurgo: both boot sectors are unreadable and nothing found tells the geometry; assumed " << layout
                << '\n';
            break;
    }
    const DeepSearch::Report& r = deep->report();
    if (!r.currentMft) err << "resurgo: the volume's MFT does not open; every record found on the source is listed\n";
    err << "resurgo: deep scan read " << r.bytesScanned << " bytes and found " << r.recordsFound << " MFT records and "
        << r.indexBlocksFound << " index blocks\n";
}

int SearchCommand::run(const Options& options, std::ostream& out, std::ostream& err, TerminalProgress* progress,
                       const std::atomic<std::uint8_t>* cancel) {
    std::string problem;
    if (!ArgumentCheck::checkPattern(options.pattern, problem)) {
        err << "resurgo: " << problem << '\n';
        return kExitUsage;
    }

    SourceStack stack;
    if (int status = SourceChoice::open(stack, options.source, options.partition, err, options.deep); status != kExitOk) {
        return status;
    }
    const std::string source = shownSource(options.source, stack.partition());
    SearchJob job;
    job.useSource(stack.volume());
    job.minRecoverable = options.minRecoverable;
    job.deep = options.deep;
    // One bar over the search and the writing, never going back.
    ProgressSpan searching(progress, 0, kSearchProgress);
    if (int status = runJob(job, source, options.pattern, options.days, progress, cancel, err,
                            progress != nullptr ? &searching : nullptr);
        status != kExitOk) {
        return status;
    }
    ProgressSpan writing(options.progressWhileWriting ? progress : nullptr, kSearchProgress, 100);

    const auto& results = job.filesystem.results();
    const std::string filter = describeFilter(options.pattern, options.days, options.minRecoverable);
    if (options.json) {
        ResultFormatter::writeJson(out, results, &writing);
        out << '\n';
    } else if (results.empty()) {
        if (job.outcome() == SearchJob::Outcome::Completed) {
            out << "No deleted files " << filter << " were found on " << source
                << ".\nTry a wider age limit, for example --days 365 (up to --days "
                << ArgumentCheck::kMaxDays << ").\n";
        } else {
            out << "No deleted files " << filter << " were found on " << source << " before the search stopped.\n";
        }
    } else {
        ResultFormatter::writeTable(out, results, &writing);
        out << '\n' << results.size() << (results.size() == 1 ? " deleted file " : " deleted files ") << filter
            << " on " << source
            << (job.outcome() == SearchJob::Outcome::Completed   ? "."
                : job.outcome() == SearchJob::Outcome::Cancelled ? " (search cancelled)."
                                                                  : " (the search stopped early).")
            << '\n';
    }
    out.flush();
    if (progress != nullptr) progress->finish();

    if (job.outcome() == SearchJob::Outcome::Cancelled) {
        err << "resurgo: search cancelled; " << results.size() << " file(s) found before the stop are listed\n";
        return kExitCancelled;
    }
    if (job.outcome() == SearchJob::Outcome::WalkFailed) {
        err << "resurgo: the search stopped early: " << FailureReport::reason(*job.failure()) << " ("
            << job.failure()->diagnostic() << "); the files found before are listed\n";
        return kExitWalkFailed;
    }
    return kExitOk;
}

} // namespace resurgo::cli
