#include "cli/FileCopy.h"

#include "cli/ExitCode.h"
#include "cli/FailureReport.h"
#include "recovery/SearchJob.h"

namespace resurgo::cli {

FileCopy::FileCopy(SearchJob& job) : job_(job), restore_(job) {}
FileCopy::~FileCopy() = default;

int FileCopy::openFilesystem(const std::string& source, std::ostream& err) {
    switch (restore_.open()) {
        case RestoreJob::Status::BootFailed:
            return FailureReport::bootFailure(*restore_.failure(), source, err, &job_);
        case RestoreJob::Status::OpenFailed:
            return FailureReport::openFailure(*restore_.failure(), source, err, &job_);
        default:
            return kExitOk;
    }
}

bool FileCopy::openDeletedFile(std::uint64_t record, std::string& why, RestoreJob::Status& status) {
    status = restore_.select(record);
    const std::string subject = "record " + std::to_string(record);
    switch (status) {
        case RestoreJob::Status::Ready:
            return true;
        case RestoreJob::Status::NoSuchRecord:
            why = subject + " does not exist: the MFT holds records 0 to " +
                  std::to_string(job_.filesystem.mftEntry().recordCapacity() - 1) +
                  "; `resurgo search` lists the deleted files with their records";
            break;
        case RestoreJob::Status::Directory:
            why = subject + " is a directory, not a file; `restore --all` recreates the directories of the files it "
                            "restores";
            break;
        case RestoreJob::Status::InUse:
            why = subject + " belongs to a file that is not deleted (copy it from the volume itself); only deleted "
                            "files are restored";
            break;
        case RestoreJob::Status::Unreadable:
            why = subject + " can't be read: " + FailureReport::reason(*restore_.failure());
            break;
        default:
            why = subject + " is damaged: " + FailureReport::reason(*restore_.failure());
            break;
    }
    return false;
}

FileCopy::Result FileCopy::copy(const std::string& target) {
    failure_.clear();
    switch (restore_.restoreTo(target)) {
        case RestoreJob::Status::CreateFailed:
            failure_ = "cannot create " + target + ": " + FailureReport::reason(*restore_.failure());
            return Result::CreateFailed;
        case RestoreJob::Status::RestoredDamaged:
            return Result::Damaged;
        case RestoreJob::Status::Restored:
            return Result::Restored;
        default:
            if (restore_.failure() && restore_.failure()->code() == kErrReadDisk && size() > 0 &&
                restore_.result().unreadableBytes() >= size()) {
                const std::string where =
                    job_.sourceCutOff() ? ": its data lies past the end of the source, an NTFS volume cut off after " +
                                              std::to_string(job_.sourceBytes()) + " of " +
                                              std::to_string(job_.volumeBytes()) + " bytes"
                                        : std::string(" from the source");
                failure_ = "nothing of " + name() + " could be read" + where + "; no file was left at " + target;
                return Result::Unreadable;
            }
            if (restore_.closeFailed()) {
                // A late write error (a network file system reports some only here).
                failure_ = "closing " + target + " failed: " + FailureReport::reason(*restore_.failure());
            } else {
                failure_ = "copying into " + target + " failed: " + FailureReport::reason(*restore_.failure());
            }
            return Result::CopyFailed;
    }
}

} // namespace resurgo::cli
