#include "cli/RestoreCommand.h"

#include "cli/ExitCode.h"
#include "cli/FailureReport.h"
#include "cli/FileCopy.h"
#include "cli/Messages.h"
#include "cli/OutputPaths.h"
#include "cli/RestoreChecks.h"
#include "cli/Terminal.h"
#include "recovery/SearchJob.h"

namespace resurgo::cli {

RestoreCommand::RestoreCommand(FileProbe& probe) : probe_(probe) {}
RestoreCommand::~RestoreCommand() = default;

int RestoreCommand::run(const Options& options, std::ostream& out, std::ostream& err, std::istream& in,
                        bool interactive) {
    SearchJob job;
    job.driveRoot = options.source;
    // A record given by its offset is opened as a deep search opens it:
    // also without a boot sector or an MFT.
    job.deep = options.offset.has_value();
    FileCopy copier(job);  // closes the filesystem however the restore ends
    if (int status = copier.openFilesystem(options.source, err); status != kExitOk) return status;

    std::string why;
    RestoreJob::Status status = RestoreJob::Status::Ready;
    if (!(options.offset ? copier.openFileAt(*options.offset, why, status)
                         : copier.openDeletedFile(options.record, why, status))) {
        err << Messages::kFileDamaged << "\nresurgo: " << why << '\n';
        return kExitFileDamaged;
    }
    const std::string name = copier.name();
    const std::uint64_t size = copier.size();

    // An existing directory receives the file under its own name.
    std::string target = options.output;
    FileProbe::Identity given = probe_.identify(target);
    if (given.exists && given.isDirectory) target = OutputPaths::join(target, OutputPaths::safeComponent(name));
    const std::string directory = OutputPaths::parentOf(target);

    RestoreChecks checks(probe_);
    checks.setSource(options.source);
    if (checks.destinationOnSource(directory, target)) {
        err << Messages::kSameDrive << '\n';
        return kExitSameSource;
    }

    FileProbe::Identity existing = probe_.identify(target);
    if (existing.exists && !existing.isRegular) {
        err << "resurgo: " << target << " exists and is not a regular file; choose another destination\n";
        return kExitExists;
    }
    switch (RestoreChecks::overwriteDecision(existing.exists, options.force, interactive)) {
        case RestoreChecks::Overwrite::Write:
            break;
        case RestoreChecks::Overwrite::Ask:
            if (!Terminal::askYesNo(in, err, std::string(Messages::kFileExists))) {
                err << "resurgo: " << target << " kept as it was\n";
                        return kExitExists;
            }
            break;
        case RestoreChecks::Overwrite::Refuse:
            err << Messages::kFileExists << "\nresurgo: " << target
                << " exists; not overwritten without --force\n";
                return kExitExists;
    }

    if (!RestoreChecks::hasSpaceFor(directory, size)) {
        err << Messages::kNoFreeSpace << "\nresurgo: " << name << " needs " << size << " bytes in " << directory
            << '\n';
        return kExitNoSpace;
    }

    FileCopy::Result result = copier.copy(target);
    switch (result) {
        case FileCopy::Result::CreateFailed:
        case FileCopy::Result::CopyFailed:
            err << Messages::kCopyFailed << "\nresurgo: " << copier.failure() << '\n';
            return kExitCopyFailed;
        case FileCopy::Result::Damaged:
            out << FailureReport::damage(name, copier.result()) << '\n';
            return kExitDamagedUnits;
        case FileCopy::Result::Restored:
            break;
    }
    out << FailureReport::fill(Messages::kRestored, name) << '\n';
    return kExitOk;
}

} // namespace resurgo::cli
