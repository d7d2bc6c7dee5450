#include "cli/SearchCommand.h"

#include "cli/ArgumentCheck.h"
#include "cli/ExitCode.h"
#include "cli/FailureReport.h"
#include "cli/ResultFormatter.h"
#include "cli/SourceChoice.h"
#include "cli/TerminalProgress.h"
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
                          TerminalProgress* progress, const std::atomic<std::uint8_t>* cancel, std::ostream& err) {
    job.driveRoot = source;
    job.pattern = pattern;
    job.days = days;
    job.run(progress, cancel);
    if (job.sourceCutOff()) {
        err << "resurgo: warning: " << source << " holds " << job.sourceBytes() << " bytes but its NTFS volume is "
            << job.volumeBytes() << " bytes long: files whose data lies past the end are lost in part or whole\n";
    }
    if (progress) progress->finish();
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

int SearchCommand::run(const Options& options, std::ostream& out, std::ostream& err, TerminalProgress* progress,
                       const std::atomic<std::uint8_t>* cancel) {
    std::string problem;
    if (!ArgumentCheck::checkPattern(options.pattern, problem)) {
        err << "resurgo: " << problem << '\n';
        return kExitUsage;
    }

    SourceStack stack;
    if (int status = SourceChoice::open(stack, options.source, options.partition, err); status != kExitOk) {
        return status;
    }
    const std::string source = shownSource(options.source, stack.partition());
    SearchJob job;
    job.useSource(stack.volume());
    job.minRecoverable = options.minRecoverable;
    if (int status = runJob(job, source, options.pattern, options.days, progress, cancel, err); status != kExitOk) {
        return status;
    }

    const auto& results = job.filesystem.results();
    const std::string filter = describeFilter(options.pattern, options.days, options.minRecoverable);
    if (options.json) {
        ResultFormatter::writeJson(out, results);
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
        ResultFormatter::writeTable(out, results);
        out << '\n' << results.size() << (results.size() == 1 ? " deleted file " : " deleted files ") << filter
            << " on " << source
            << (job.outcome() == SearchJob::Outcome::Completed   ? "."
                : job.outcome() == SearchJob::Outcome::Cancelled ? " (search cancelled)."
                                                                  : " (the search stopped early).")
            << '\n';
    }
    out.flush();

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
