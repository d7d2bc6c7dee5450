#include "cli/FileCopy.h"

#include "cli/ExitCode.h"
#include "cli/FailureReport.h"
#include "recovery/SearchJob.h"

namespace resurgo::cli {

FileCopy::FileCopy(SearchJob& job) : restore_(job) {}
FileCopy::~FileCopy() = default;

int FileCopy::openFilesystem(const std::string& source, std::ostream& err) {
    switch (restore_.open()) {
        case RestoreJob::Status::BootFailed:
            return FailureReport::bootFailure(*restore_.failure(), source, err);
        case RestoreJob::Status::OpenFailed:
            return FailureReport::openFailure(*restore_.failure(), source, err);
        default:
            return kExitOk;
    }
}

bool FileCopy::openDeletedFile(std::uint64_t record, std::string& why, RestoreJob::Status& status) {
    status = restore_.select(record);
    return explain(status, "record " + std::to_string(record), why);
}

bool FileCopy::openFileAt(std::uint64_t offset, std::string& why, RestoreJob::Status& status) {
    status = restore_.selectAtOffset(offset);
    return explain(status, "the record at byte " + std::to_string(offset), why);
}

bool FileCopy::explain(RestoreJob::Status status, const std::string& subject, std::string& why) {
    switch (status) {
        case RestoreJob::Status::Ready:
            return true;
        case RestoreJob::Status::NoSuchRecord:
            why = subject + " does not exist: the MFT ends before it";
            break;
        case RestoreJob::Status::Directory:
            why = subject + " is a directory";
            break;
        case RestoreJob::Status::InUse:
            why = subject + " is in use, not a deleted file";
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
                failure_ = "nothing of " + target + " could be read from the source; no file was left";
            } else if (restore_.closeFailed()) {
                // A late write error (a network file system reports some only here).
                failure_ = "closing " + target + " failed: " + FailureReport::reason(*restore_.failure());
            } else {
                failure_ = "copying into " + target + " failed: " + FailureReport::reason(*restore_.failure());
            }
            return Result::CopyFailed;
    }
}

} // namespace resurgo::cli
