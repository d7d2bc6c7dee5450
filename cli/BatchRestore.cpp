#include "cli/BatchRestore.h"

#include <algorithm>
#include <vector>

#include "cli/ArgumentCheck.h"
#include "cli/ExitCode.h"
#include "cli/FailureReport.h"
#include "cli/FileCopy.h"
#include "cli/Messages.h"
#include "cli/OutputPaths.h"
#include "cli/ResultFormatter.h"
#include "cli/RestoreChecks.h"
#include "cli/SearchCommand.h"
#include "cli/SourceChoice.h"
#include "cli/TerminalProgress.h"
#include "platform/LocalFiles.h"
#include "recovery/SearchJob.h"
#include "recovery/SourceStack.h"

namespace resurgo::cli {

namespace {

// The nearest directory that exists on the way up from path.
std::string nearestExisting(std::string path) {
    for (int i = 0; i < 4096 && !LocalFiles::isDirectory(path); ++i) {
        std::string parent = OutputPaths::parentOf(path);
        if (parent == path) break;
        path = parent;
    }
    return path;
}

bool makeDirectories(const std::string& path, std::string& error) {
    if (LocalFiles::isDirectory(path)) return true;
    std::string parent = OutputPaths::parentOf(path);
    if (parent != path && !makeDirectories(parent, error)) return false;
    std::string why;
    if (LocalFiles::makeDirectory(path, why) == LocalFiles::Made::Failed) {
        error = "cannot create directory " + path + ": " + why;
        return false;
    }
    return true;
}

} // namespace

BatchRestore::BatchRestore(FileProbe& probe) : probe_(probe) {}
BatchRestore::~BatchRestore() = default;

int BatchRestore::run(const Options& options, std::ostream& out, std::ostream& err, TerminalProgress* progress,
                      const std::atomic<std::uint8_t>* cancel) {
    counts_ = Counts{};
    auto cancelled = [&] { return cancel != nullptr && cancel->load() == 1; };
    std::string problem;
    if (!ArgumentCheck::checkPattern(options.pattern, problem)) {
        err << "resurgo: " << problem << '\n';
        return kExitUsage;
    }

    SourceStack stack;
    if (int status = SourceChoice::open(stack, options.source, options.partition, err); status != kExitOk) {
        return status;
    }
    const std::string source = SearchCommand::shownSource(options.source, stack.partition());

    // Nothing is created before the same-source check.
    RestoreChecks checks(probe_);
    checks.setSource(options.source);
    checks.addSourceFiles(stack.files());
    const std::string existing = nearestExisting(options.outputDir);
    if (checks.destinationOnSource(existing, options.outputDir)) {
        err << Messages::kSameDrive << '\n';
        return kExitSameSource;
    }

    SearchJob job;
    job.useSource(stack.volume());
    if (int status = SearchCommand::runJob(job, source, options.pattern, options.days, progress, cancel, err);
        status != kExitOk) {
        return status;
    }
    switch (job.outcome()) {
        case SearchJob::Outcome::Cancelled:
            err << "resurgo: search cancelled; nothing restored\n";
            return kExitCancelled;
        case SearchJob::Outcome::WalkFailed:
            err << "resurgo: the search stopped early: " << FailureReport::reason(*job.failure())
                << "; restoring the files found before\n";
            break;
        case SearchJob::Outcome::Completed:
        case SearchJob::Outcome::BadPattern:
        case SearchJob::Outcome::BootFailed:
        case SearchJob::Outcome::OpenFailed:
            break;
    }

    std::vector<FOUND_FILE> results = job.filesystem.results();
    std::sort(results.begin(), results.end(),
              [](const FOUND_FILE& a, const FOUND_FILE& b) { return a.recordNumber < b.recordNumber; });
    if (results.empty()) {
        if (job.outcome() == SearchJob::Outcome::Completed) {
            SearchCommand::writeNothingFound(out, job, source, options.pattern, options.days, "; nothing restored.");
        } else {
            out << "No deleted files " << SearchCommand::describeFilter(options.pattern, options.days)
                << " were found on " << source << "; nothing restored.\n";
        }
        return job.outcome() == SearchJob::Outcome::WalkFailed ? kExitWalkFailed : kExitOk;
    }

    if (!makeDirectories(options.outputDir, problem)) {
        err << "resurgo: " << problem << '\n';
        return kExitCopyFailed;
    }
    FileCopy copier(job);  // closes the filesystem however the restore ends
    if (int status = copier.openFilesystem(source, err); status != kExitOk) return status;

    std::size_t done = 0;
    for (const FOUND_FILE& found : results) {
        if (cancelled()) break;
        if (progress) progress->setPosition(static_cast<int>(done * 100 / results.size()));
        ++done;
        const std::string shown =
            ResultFormatter::directoryText(found.directory) == "."
                ? found.name
                : ResultFormatter::directoryText(found.directory) + "/" + found.name;
        auto fail = [&](const std::string& why) {
            ++counts_.failed;
            if (progress) progress->finish();
            err << "resurgo: " << shown << " (record " << found.recordNumber << "): " << why << '\n';
        };

        std::string directory = options.outputDir;
        bool ok = true;
        for (const std::string& part : OutputPaths::directoryComponents(found.directory)) {
            std::string next;
            if (!OutputPaths::enterDirectory(directory, part, next, problem)) {
                fail(problem);
                ok = false;
                break;
            }
            directory = next;
        }
        if (!ok) continue;
        const std::string target = OutputPaths::join(directory, OutputPaths::freeName(directory, OutputPaths::safeComponent(found.name)));
        // A directory below DIR may be a mount point of its own.
        if (checks.destinationOnSource(directory, target)) {
            fail(std::string(Messages::kSameDrive));
            continue;
        }
        std::string why;
        RestoreJob::Status status = RestoreJob::Status::Ready;
        if (!copier.openDeletedFile(found.recordNumber, why, status)) {
            fail(std::string(Messages::kFileDamaged) + " (" + why + ")");
            continue;
        }
        if (!RestoreChecks::hasSpaceFor(directory, copier.size())) {
            fail(Messages::kNoFreeSpace);
            continue;
        }
        FileCopy::Result result = copier.copy(target);
        switch (result) {
            case FileCopy::Result::CreateFailed:
            case FileCopy::Result::CopyFailed:
            case FileCopy::Result::Unreadable:
                fail(copier.failure());
                break;
            case FileCopy::Result::Damaged:
                ++counts_.damaged;
                if (progress) progress->finish();
                err << "resurgo: " << FailureReport::damage(shown, copier.result()) << '\n';
                out << target << '\n';
                break;
            case FileCopy::Result::Restored:
                ++counts_.restored;
                if (progress) progress->finish();
                out << target << '\n';
                break;
        }
    }
    if (progress) progress->finish();

    const bool stopped = cancelled();
    out << counts_.restored << " restored, " << counts_.damaged << " damaged, " << counts_.failed << " failed"
        << (stopped ? " (cancelled: " + std::to_string(results.size() - done) + " not attempted)" : std::string())
        << " into " << options.outputDir << '\n';
    if (stopped) return kExitCancelled;
    if (counts_.failed > 0) return kExitCopyFailed;
    if (counts_.damaged > 0) return kExitDamagedUnits;
    if (job.outcome() == SearchJob::Outcome::WalkFailed) return kExitWalkFailed;
    return kExitOk;
}

} // namespace resurgo::cli
