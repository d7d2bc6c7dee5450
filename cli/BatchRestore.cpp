#include "cli/BatchRestore.h"

#include <algorithm>
#include <optional>
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
#include "core/VisibleText.h"
#include "recovery/OutputDirectory.h"
#include "recovery/OutputName.h"
#include "recovery/SearchJob.h"
#include "recovery/SourceStack.h"

namespace resurgo::cli {

namespace {

// A failure that every later file would meet as well: the run ends.
bool endsTheRun(OutputFailure failure, bool inTheOutputDirectory) {
    return failure == OutputFailure::ReadOnly ||
           (inTheOutputDirectory && (failure == OutputFailure::Denied || failure == OutputFailure::NotADirectory));
}

} // namespace

BatchRestore::BatchRestore(FileProbe& probe) : probe_(probe) {}
BatchRestore::~BatchRestore() = default;

std::string BatchRestore::nearestExisting(std::string path) {
    for (int i = 0; i < 4096 && !probe_.identify(path).isDirectory; ++i) {
        std::string parent = OutputPaths::parentOf(path);
        if (parent == path) break;
        path = parent;
    }
    return path;
}

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
    if (int status = SourceChoice::open(stack, options.source, options.partition, err, options.deep); status != kExitOk) {
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
    job.deep = options.deep;
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

    // Every file would fail the same way when the output directory can't
    // be made or opened (a file has its name, a read-only file system).
    std::optional<OutputDirectory> root;
    try {
        root.emplace(options.outputDir, true);
    } catch (const ErrorException& e) {
        err << "resurgo: cannot restore into " << VisibleText::of(options.outputDir) << ": "
            << FailureReport::reason(e) << '\n';
        return kExitCopyFailed;
    }
    FileCopy copier(job);  // closes the filesystem however the restore ends
    if (int status = copier.openFilesystem(source, err); status != kExitOk) return status;

    // The directory of the last file: the next one is often in it too.
    std::optional<OutputDirectory> below;
    std::string belowText;
    bool ended = false;
    std::size_t done = 0;
    for (const FOUND_FILE& found : results) {
        if (cancelled() || ended) break;
        if (progress) progress->setPosition(static_cast<int>(done * 100 / results.size()));
        ++done;
        if (found.recoverable < options.minRecoverable) {
            ++counts_.skipped;
            continue;
        }
        const std::string directoryText = ResultFormatter::directoryText(found.components());
        const std::string shown =
            VisibleText::of(directoryText == "." ? found.name : directoryText + "/" + found.name);
        auto fail = [&](const std::string& why) {
            ++counts_.failed;
            if (progress) progress->finish();
            err << "resurgo: " << shown << " (record " << found.recordNumber
                << (options.deep ? " at byte " + std::to_string(found.offset) : std::string()) << "): " << why << '\n';
        };

        if (!below || belowText != found.directory) {
            below.reset();
            OutputDirectory* at = &*root;
            std::optional<OutputDirectory> walk;
            try {
                for (const std::string& part : found.components()) {
                    problem = OutputPaths::join(at->path(), OutputName::local(part));
                    walk = at->enter(OutputName::local(part));
                    at = &*walk;
                }
            } catch (const ErrorException& e) {
                const OutputFailure why = OutputDirectory::failureOf(e);
                fail((why == OutputFailure::Exists ? "no free name for directory " : "cannot create directory ") +
                     VisibleText::of(problem) + ": " + FailureReport::reason(e));
                ended = endsTheRun(why, at == &*root);
                continue;
            }
            below = std::move(walk);
            belowText = found.directory;
        }
        OutputDirectory& directory = below ? *below : *root;
        const std::string name = OutputName::local(found.name);
        // A directory below DIR may be a mount point of its own.
        if (checks.destinationOnSource(directory.path(), OutputPaths::join(directory.path(), name))) {
            fail(std::string(Messages::kSameDrive));
            continue;
        }
        std::string why;
        RestoreJob::Status status = RestoreJob::Status::Ready;
        if (!(options.deep ? copier.openFileAt(found.offset, why, status)
                           : copier.openDeletedFile(found.recordNumber, why, status))) {
            fail(copier.isDamage(status) ? std::string(Messages::kFileDamaged) + " (" + why + ")" : why);
            continue;
        }
        if (!RestoreChecks::hasSpaceFor(directory.path(), copier.storedBytes())) {
            fail(Messages::kNoFreeSpace);
            continue;
        }
        const FileCopy::Result result = copier.copyInto(directory, name);
        if (result == FileCopy::Result::Damaged || result == FileCopy::Result::Restored ||
            result == FileCopy::Result::Wiped) {
            ++(found.recoverable == 100 ? counts_.intact
               : found.recoverable == 0 ? counts_.overwritten
                                        : counts_.partlyOverwritten);
        }
        switch (result) {
            case FileCopy::Result::NameTaken:
                fail("no free name for " + VisibleText::of(OutputPaths::join(directory.path(), name)));
                break;
            case FileCopy::Result::CreateFailed:
                fail(copier.failure());
                ended = endsTheRun(copier.createFailure(), &directory == &*root);
                break;
            case FileCopy::Result::CopyFailed:
            case FileCopy::Result::Unreadable:
                fail(copier.failure());
                break;
            case FileCopy::Result::Damaged:
                ++counts_.damaged;
                if (progress) progress->finish();
                err << "resurgo: " << FailureReport::damage(shown, copier.result()) << '\n';
                if (copier.throughGuessedGeometry()) {
                    err << "resurgo: " << shown << ": written through a guessed geometry; its contents may be another "
                                                   "file's\n";
                }
                out << VisibleText::of(OutputPaths::join(directory.path(), copier.createdName())) << '\n';
                break;
            case FileCopy::Result::Wiped:
                ++counts_.wiped;
                if (progress) progress->finish();
                err << "resurgo: " << FailureReport::fill(Messages::kRestoredWiped, shown, copier.result().zeroedBytes)
                    << '\n';
                if (copier.throughGuessedGeometry()) {
                    err << "resurgo: " << shown << ": written through a guessed geometry; its contents may be another "
                                                   "file's\n";
                }
                out << VisibleText::of(OutputPaths::join(directory.path(), copier.createdName())) << '\n';
                break;
            case FileCopy::Result::Restored:
                if (copier.throughGuessedGeometry()) {
                    ++counts_.guessed;
                    if (progress) progress->finish();
                    err << "resurgo: " << shown << ": written through a guessed geometry; its contents may be another "
                                                   "file's\n";
                } else {
                    ++counts_.restored;
                    if (progress) progress->finish();
                }
                out << VisibleText::of(OutputPaths::join(directory.path(), copier.createdName())) << '\n';
                break;
        }
        // Whose data the overwritten part is now, when one file owns it.
        if (result == FileCopy::Result::Damaged || result == FileCopy::Result::Restored ||
            result == FileCopy::Result::Wiped) {
            const std::string by = copier.overwrittenBy(found.recoverable, found.overwrittenBy);
            if (!by.empty()) err << "resurgo: " << shown << ": " << by << '\n';
        }
    }
    if (progress) progress->finish();

    const bool stopped = cancelled();
    const std::size_t left = results.size() - done;
    out << counts_.restored << " restored, "
        << (counts_.guessed > 0 ? std::to_string(counts_.guessed) + " written through a guessed geometry, " : std::string())
        << counts_.damaged << " damaged, "
        << (counts_.wiped > 0 ? std::to_string(counts_.wiped) + " wiped, " : std::string()) << counts_.failed
        << " failed"
        << (stopped ? " (cancelled: " + std::to_string(left) + " not attempted)"
            : ended ? " (stopped: " + std::to_string(left) + " not attempted)"
                    : std::string())
        << " into " << VisibleText::of(options.outputDir) << " (" << counts_.intact << " intact, "
        << counts_.partlyOverwritten << " partly overwritten, " << counts_.overwritten << " overwritten"
        << (options.minRecoverable > 0 ? "; " + std::to_string(counts_.skipped) + " skipped below " +
                                             std::to_string(options.minRecoverable) + "% recoverable"
                                       : std::string())
        << ")\n";
    if (stopped) return kExitCancelled;
    if (counts_.failed > 0) return kExitCopyFailed;
    if (counts_.damaged > 0) return kExitDamagedUnits;
    if (counts_.wiped > 0) return kExitWiped;
    if (counts_.guessed > 0) return kExitGuessedGeometry;
    if (job.outcome() == SearchJob::Outcome::WalkFailed) return kExitWalkFailed;
    if (!job.filesystem.gaps().empty()) return kExitIncomplete;
    return kExitOk;
}

} // namespace resurgo::cli
