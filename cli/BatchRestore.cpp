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
#include "cli/SearchCommand.h"
#include "cli/SourceChoice.h"
#include "cli/TerminalProgress.h"
#include "recovery/SystemServices.h"
#include "recovery/OutputName.h"
#include "recovery/OutputTree.h"
#include "recovery/RestoreRules.h"
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
    SearchJob job;
    SourceStack& stack = job.sourceStack();
    if (int status = SourceChoice::open(stack, options.source, options.partition, err, options.deep || options.carve);
        status != kExitOk) {
        return status;
    }
    const std::string source = SearchCommand::shownSource(options.source, stack.partition());

    // Nothing is created before the same-source check.
    RestoreRules rules(probe_);
    rules.setSource(options.source);
    rules.addSourceFiles(stack.files());
    if (rules.destinationOnSource(nearestExisting(options.outputDir), options.outputDir)) {
        err << Messages::kSameDrive << '\n';
        return kExitSameSource;
    }

    job.options.deep = options.deep;
    job.options.snapshots = options.snapshots;
    job.options.carve = options.carve;
    std::vector<FOUND_FILE> results;
    if (int status = search(job, options, source, out, err, progress, cancel, results); status != kExitOk) {
        return status;
    }
    if (results.empty()) return job.outcome() == SearchJob::Outcome::WalkFailed ? kExitWalkFailed : kExitOk;

    // Every file would fail the same way when the output directory can't
    // be made or opened (a file has its name, a read-only file system).
    std::optional<OutputTree> tree;
    if (!openTree(options.outputDir, err, tree)) return kExitCopyFailed;
    FileCopy copier(job);  // closes the filesystem however the restore ends
    // Carved files alone need no volume: they are read off the source.
    const bool carvedOnly = std::all_of(results.begin(), results.end(),
                                        [](const FOUND_FILE& f) { return f.carvedType != nullptr; });
    if (!carvedOnly) {
        if (int status = copier.openFilesystem(source, err); status != kExitOk) return status;
    }

    Batch batch{options, rules, copier, *tree, out, err, progress};
    std::size_t done = 0;
    for (const FOUND_FILE& found : results) {
        if ((cancel != nullptr && cancel->load() == 1) || batch.ended) break;
        if (progress) progress->setPosition(static_cast<int>(done * 100 / results.size()));
        ++done;
        // The files of each shadow copy together (see search), read from it.
        if (copier.openSnapshot(found.snapshot, source, err) != kExitOk) {
            ++counts_.failed;
            continue;
        }
        restoreOne(batch, found);
    }
    if (progress) progress->finish();
    const bool stopped = cancel != nullptr && cancel->load() == 1;
    writeSummary(options, out, results.size() - done, stopped, batch.ended);
    return endStatus(job, stopped);
}

bool BatchRestore::openTree(const std::string& dir, std::ostream& err, std::optional<OutputTree>& tree) {
    try {
        tree.emplace(dir);
    } catch (const ErrorException& e) {
        err << "resurgo: cannot restore into " << VisibleText::of(dir) << ": " << FailureReport::reason(e) << '\n';
        return false;
    }
    return true;
}

int BatchRestore::endStatus(const SearchJob& job, bool stopped) const {
    if (stopped) return kExitCancelled;
    if (counts_.failed > 0) return kExitCopyFailed;
    if (counts_.damaged > 0) return kExitDamagedUnits;
    if (counts_.wiped > 0) return kExitWiped;
    if (counts_.guessed > 0) return kExitGuessedGeometry;
    if (job.outcome() == SearchJob::Outcome::WalkFailed) return kExitWalkFailed;
    if (!job.filesystem.gaps().empty()) return kExitIncomplete;
    return kExitOk;
}

int BatchRestore::search(SearchJob& job, const Options& options, const std::string& source, std::ostream& out,
                         std::ostream& err, TerminalProgress* progress, const std::atomic<std::uint8_t>* cancel,
                         std::vector<FOUND_FILE>& results) {
    if (int status = SearchCommand::runJob(job, source, options.pattern, options.days, progress, cancel, err);
        status != kExitOk) {
        return status;
    }
    if (options.snapshots) SearchCommand::reportSnapshots(job, source, err);
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
    results = job.filesystem.results();
    // The volume's files first, then each shadow copy's, in record order.
    std::sort(results.begin(), results.end(), [](const FOUND_FILE& a, const FOUND_FILE& b) {
        return a.snapshot != b.snapshot ? a.snapshot < b.snapshot : a.recordNumber < b.recordNumber;
    });
    if (!results.empty()) return kExitOk;
    if (job.outcome() == SearchJob::Outcome::Completed) {
        SearchCommand::writeNothingFound(out, job, source, options.pattern, options.days, "; nothing restored.");
    } else {
        out << "No deleted files " << SearchCommand::describeFilter(options.pattern, options.days)
            << " were found on " << source << "; nothing restored.\n";
    }
    return kExitOk;
}

void BatchRestore::restoreOne(Batch& batch, const FOUND_FILE& found) {
    if (found.recoverable < batch.options.minRecoverable) {
        ++counts_.skipped;
        return;
    }
    const std::string directoryText = ResultFormatter::directoryText(found.components());
    const std::string shown = VisibleText::of(directoryText == "." ? found.name : directoryText + "/" + found.name);
    auto fail = [&](const std::string& why) {
        ++counts_.failed;
        if (batch.progress) batch.progress->finish();
        batch.err << "resurgo: " << shown << " (record " << found.recordNumber
                  << (batch.options.deep ? " at byte " + std::to_string(found.offset) : std::string())
                  << (found.snapshot != 0 ? " of shadow copy " + std::to_string(found.snapshot) : std::string())
                  << "): " << why
                  << '\n';
    };
    OutputDirectory* at = nullptr;
    try {
        at = &batch.tree.directoryFor(found.directory, found.components());
    } catch (const ErrorException& e) {
        const OutputFailure why = OutputDirectory::failureOf(e);
        fail((why == OutputFailure::Exists ? "no free name for directory " : "cannot create directory ") +
             VisibleText::of(batch.tree.failedPath()) + ": " + FailureReport::reason(e));
        batch.ended = endsTheRun(why, batch.tree.failedInRoot());
        return;
    }
    OutputDirectory& directory = *at;
    const std::string name = OutputName::local(found.name);
    // A directory below DIR may be a mount point of its own.
    if (batch.rules.destinationOnSource(directory.path(), OutputPaths::join(directory.path(), name))) {
        fail(std::string(Messages::kSameDrive));
        return;
    }
    std::string why;
    RestoreJob::Status status = RestoreJob::Status::Ready;
    const bool opened = found.carvedType != nullptr         ? batch.copier.openCarved(found.offset, why, status)
                        : found.source == ResultSource::Logfile ? batch.copier.openLoggedFile(found.recordNumber, why, status)
                        : batch.options.deep                    ? batch.copier.openFileAt(found.offset, why, status)
                                                                : batch.copier.openDeletedFile(found.recordNumber, why, status);
    if (!opened) {
        fail(batch.copier.isDamage(status) ? std::string(Messages::kFileDamaged) + " (" + why + ")" : why);
        return;
    }
    if (!RestoreRules::hasSpaceFor(directory.path(), batch.copier.storedBytes())) {
        fail(Messages::kNoFreeSpace);
        return;
    }
    const FileCopy::Result result = batch.copier.copyInto(directory, name);
    if (result == FileCopy::Result::NameTaken) {
        fail("no free name for " + VisibleText::of(OutputPaths::join(directory.path(), name)));
    } else if (result == FileCopy::Result::CreateFailed) {
        fail(batch.copier.failure());
        batch.ended = endsTheRun(batch.copier.createFailure(), &directory == &batch.tree.root());
    } else if (result == FileCopy::Result::CopyFailed || result == FileCopy::Result::Unreadable) {
        fail(batch.copier.failure());
    } else {
        written(batch, found, result, shown, directory);
    }
}

void BatchRestore::written(Batch& batch, const FOUND_FILE& found, FileCopy::Result result, const std::string& shown,
                           const OutputDirectory& directory) {
    ++(found.recoverable == 100 ? counts_.intact
       : found.recoverable == 0 ? counts_.overwritten
                                : counts_.partlyOverwritten);
    if (batch.progress) batch.progress->finish();
    if (result == FileCopy::Result::Damaged) {
        ++counts_.damaged;
        batch.err << "resurgo: " << FailureReport::damage(shown, batch.copier.result()) << '\n';
    } else if (result == FileCopy::Result::Wiped) {
        ++counts_.wiped;
        batch.err << "resurgo: "
                  << FailureReport::fill(Messages::kRestoredWiped, shown, batch.copier.result().zeroedBytes) << '\n';
    } else if (batch.copier.throughGuessedGeometry()) {
        ++counts_.guessed;
    } else {
        ++counts_.restored;
    }
    if (batch.copier.throughGuessedGeometry()) {
        batch.err << "resurgo: " << shown << ": written through a guessed geometry; its contents may be another "
                                             "file's\n";
    }
    batch.out << VisibleText::of(OutputPaths::join(directory.path(), batch.copier.createdName())) << '\n';
    // Whose data the overwritten part is now, when one file owns it.
    const std::string by = batch.copier.overwrittenBy(found.recoverable, found.overwrittenBy);
    if (!by.empty()) batch.err << "resurgo: " << shown << ": " << by << '\n';
}

void BatchRestore::writeSummary(const Options& options, std::ostream& out, std::size_t left, bool stopped,
                                bool ended) const {
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
}

} // namespace resurgo::cli
