#include "cli/RestoreCommand.h"

#include <algorithm>
#include <vector>

#include "cli/ExitCode.h"
#include "cli/FailureReport.h"
#include "cli/FileCopy.h"
#include "cli/Messages.h"
#include "cli/OutputPaths.h"
#include "cli/ResultFormatter.h"
#include "cli/SearchCommand.h"
#include "cli/SourceChoice.h"
#include "cli/Terminal.h"
#include "recovery/SystemServices.h"
#include "recovery/OutputName.h"
#include "recovery/RestoreRules.h"
#include "recovery/SearchJob.h"
#include "recovery/SourceStack.h"

namespace resurgo::cli {

RestoreCommand::RestoreCommand(FileProbe& probe) : probe_(probe) {}
RestoreCommand::~RestoreCommand() = default;

int RestoreCommand::run(const Options& options, std::ostream& out, std::ostream& err, std::istream& in,
                        bool interactive) {
    // A record given by its offset is opened as a deep search opens it:
    // also without a boot sector or an MFT; a name with --deep is looked
    // for by a deep search; a logged version with --deep is read from a
    // log found without the MFT.
    const bool deep = (options.offset.has_value() && !options.carved) ||
                      ((options.name || options.logged) && options.deep);
    SearchJob job;
    SourceStack& stack = job.sourceStack();
    if (int status = SourceChoice::open(stack, options.source, options.partition, err, deep); status != kExitOk) {
        return status;
    }
    const std::string source = SearchCommand::shownSource(options.source, stack.partition());
    job.driveRoot = source;
    job.options.deep = deep;
    std::uint64_t record = options.record;
    std::optional<std::uint64_t> offset = options.offset;
    if (options.snapshot != 0) {
        if (int status = checkSnapshot(job, options.snapshot, source, err); status != kExitOk) return status;
    }
    if (options.name) {
        if (int status = findByName(job, options, source, deep, err, record, offset); status != kExitOk) return status;
    }
    job.options.snapshot = options.snapshot;
    FileCopy copier(job);  // closes the filesystem however the restore ends
    // A carved file is read off the source as it lies: no volume to open.
    if (!options.carved) {
        if (int status = copier.openFilesystem(source, err); status != kExitOk) return status;
    }

    std::string why;
    RestoreJob::Status status = RestoreJob::Status::Ready;
    const bool logged = options.logged || (options.name && job.filesystem.resultCount() == 1 &&
                                           job.filesystem.result(0).source == ResultSource::Logfile);
    const bool opened = options.carved ? copier.openCarved(*offset, why, status)
                        : offset       ? copier.openFileAt(*offset, why, status)
                        : logged       ? copier.openLoggedFile(record, why, status)
                                       : copier.openDeletedFile(record, why, status);
    if (!opened) {
        // Only a record that is damaged is called so.
        if (copier.isDamage(status)) err << Messages::kFileDamaged << '\n';
        err << "resurgo: " << why << '\n';
        return FileCopy::exitStatus(status);
    }
    const std::string name = copier.name();

    // An existing directory receives the file under its own name.
    std::string target = options.output;
    FileProbe::Identity given = probe_.identify(target);
    if (given.exists && given.isDirectory) target = OutputPaths::join(target, OutputName::local(name));
    const std::string shownTarget = VisibleText::of(target);
    bool taken = false;
    if (int status = checkDestination(options, stack, copier, target, err, in, interactive, taken); status != kExitOk) {
        return status;
    }

    const FileCopy::Result result = copier.copy(target, taken ? OutputMode::Replace : OutputMode::NewOnly);
    return report(copier, result, shownTarget, out, err);
}

int RestoreCommand::findByName(SearchJob& job, const Options& options, const std::string& source, bool deep,
                               std::ostream& err, std::uint64_t& record, std::optional<std::uint64_t>& offset) {
    // From a shadow copy: the files search --snapshots lists from it.
    job.options.snapshots = options.snapshot != 0;
    if (int status = SearchCommand::runJob(job, source, *options.name, options.days, nullptr, nullptr, err);
        status != kExitOk) {
        return status;
    }
    job.options.snapshots = false;
    std::vector<FOUND_FILE> matches = job.filesystem.results();
    if (options.snapshot != 0) {
        matches.erase(std::remove_if(matches.begin(), matches.end(),
                                     [&options](const FOUND_FILE& f) { return f.snapshot != options.snapshot; }),
                      matches.end());
    }
    if (matches.size() != 1) {
        if (matches.empty()) {
            if (job.outcome() == SearchJob::Outcome::Completed) {
                SearchCommand::writeNothingFound(err, job, source, *options.name, options.days,
                                                 "; nothing restored.", "--name");
            } else {
                err << "no deleted file matching \"" << *options.name << "\" was found on " << source
                    << " before the search stopped: " << FailureReport::reason(*job.failure()) << '\n';
            }
            return job.outcome() == SearchJob::Outcome::Completed ? kExitFileDamaged : kExitWalkFailed;
        }
        err << "resurgo: " << matches.size() << " deleted files match \"" << *options.name << "\" on " << source
            << (deep ? "; restore one of them with --offset X:\n" : "; restore one of them with --record N:\n");
        ResultFormatter::writeTable(err, matches, options.width,
                                    deep ? ResultFormatter::Lead::Offset : ResultFormatter::Lead::Record);
        return kExitUsage;
    }
    record = matches.front().recordNumber;
    if (deep) offset = matches.front().offset;
    return kExitOk;
}

int RestoreCommand::checkSnapshot(SearchJob& job, unsigned n, const std::string& source, std::ostream& err) {
    if (!job.readSnapshots()) {
        err << "resurgo: " << source << " can't be read: " << FailureReport::reason(*job.failure()) << '\n';
        return kExitOpenFailed;
    }
    for (const std::string& w : job.snapshotWarnings()) err << "resurgo: warning: " << w << '\n';
    const std::size_t copies = job.snapshots().size();
    if (n <= copies) return kExitOk;
    err << "resurgo: " << source << " has no shadow copy " << n << " ("
        << (copies == 0 ? std::string("it has none") : "it has " + std::to_string(copies) + ", numbered from 1")
        << "; `resurgo snapshots` lists them)\n";
    return kExitNoSuchSnapshot;
}

int RestoreCommand::checkDestination(const Options& options, const SourceStack& stack, FileCopy& copier,
                                     const std::string& target, std::ostream& err, std::istream& in,
                                     bool interactive, bool& taken) {
    const std::string directory = OutputPaths::parentOf(target);
    const std::string shownTarget = VisibleText::of(target);

    RestoreRules checks(probe_);
    checks.setSource(options.source);
    checks.addSourceFiles(stack.files());
    if (checks.destinationOnSource(directory, target)) {
        err << Messages::kSameDrive << '\n';
        return kExitSameSource;
    }

    // What has the name is replaced only when the user agrees, and a link is
    // replaced, never written through.
    const RestoreRules::Existing existing = checks.existingAt(target);
    taken = existing != RestoreRules::Existing::None;
    switch (RestoreRules::destinationDecision(existing, options.force, interactive)) {
        case RestoreRules::Overwrite::Write:
            break;
        case RestoreRules::Overwrite::Ask:
            if (!Terminal::askYesNo(in, err, std::string(Messages::kFileExists))) {
                err << "resurgo: " << shownTarget << " kept as it was\n";
                return kExitExists;
            }
            break;
        case RestoreRules::Overwrite::Refuse:
            if (existing == RestoreRules::Existing::Other) {
                err << "resurgo: " << shownTarget << " exists and is not a regular file; choose another destination\n";
                return kExitExists;
            }
            err << Messages::kFileExists << "\nresurgo: " << shownTarget
                << (existing == RestoreRules::Existing::DanglingLink ? " is a symbolic link that leads nowhere"
                                                                     : " exists")
                << "; not replaced without --force\n";
            return kExitExists;
    }

    const std::uint64_t needed = copier.storedBytes();
    if (!RestoreRules::hasSpaceFor(directory, needed)) {
        err << Messages::kNoFreeSpace << "\nresurgo: " << VisibleText::of(copier.name()) << " needs " << needed << " bytes in "
            << VisibleText::of(directory) << '\n';
        return kExitNoSpace;
    }
    return kExitOk;
}

int RestoreCommand::report(FileCopy& copier, FileCopy::Result result, const std::string& shownTarget,
                           std::ostream& out, std::ostream& err) {
    switch (result) {
        case FileCopy::Result::NameTaken:
            // Something took the name after the check.
            err << Messages::kFileExists << "\nresurgo: " << copier.failure() << "; not replaced\n";
            return kExitExists;
        case FileCopy::Result::CreateFailed:
        case FileCopy::Result::CopyFailed:
            err << Messages::kCopyFailed << "\nresurgo: " << copier.failure() << '\n';
            return kExitCopyFailed;
        case FileCopy::Result::Unreadable:
            err << "resurgo: " << copier.failure() << '\n';
            return kExitCopyFailed;
        case FileCopy::Result::Damaged:
        case FileCopy::Result::Wiped:
        case FileCopy::Result::Restored:
            break;
    }
    // The whole file was written, as asked; say how much of it had been
    // overwritten since its deletion, and by which file when one owns it.
    const int recoverable = copier.measureRecoverable();
    const bool overwritten = recoverable >= 0 && recoverable < 100;
    // The messages name the file written, which is the file's own name only
    // when the name is a plain one written into a folder.
    std::string overwrittenText;
    if (overwritten) {
        overwrittenText = FailureReport::fill(Messages::kRestoredOverwritten, shownTarget, 100 - recoverable);
        const std::string by =
            copier.overwrittenBy(static_cast<std::uint8_t>(recoverable), copier.measured().overwrittenBy);
        if (!by.empty()) overwrittenText += "; " + by;
    }
    if (result == FileCopy::Result::Wiped) {
        // The bytes the drive gave are what was written: zeros.
        out << FailureReport::fill(Messages::kRestoredWiped, shownTarget, copier.result().zeroedBytes) << '\n';
        if (overwritten) out << overwrittenText << '\n';
        if (copier.throughGuessedGeometry()) {
            out << FailureReport::fill(Messages::kRestoredGuessed, shownTarget) << '\n';
            return kExitGuessedGeometry;
        }
        return kExitWiped;
    }
    if (result == FileCopy::Result::Damaged) {
        out << FailureReport::damage(shownTarget, copier.result()) << '\n';
        if (overwritten) out << overwrittenText << '\n';
        if (copier.throughGuessedGeometry()) {
            out << FailureReport::fill(Messages::kRestoredGuessed, shownTarget) << '\n';
            return kExitGuessedGeometry;
        }
        return kExitDamagedUnits;
    }
    if (copier.throughGuessedGeometry()) {
        // Written as asked, but no success: the clusters may be another file's.
        out << FailureReport::fill(Messages::kRestoredGuessed, shownTarget) << '\n';
        return kExitGuessedGeometry;
    }
    out << (overwritten ? overwrittenText : FailureReport::fill(Messages::kRestored, shownTarget)) << '\n';
    return kExitOk;
}

} // namespace resurgo::cli
