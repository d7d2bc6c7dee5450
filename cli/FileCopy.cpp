#include "cli/FileCopy.h"

#include "recovery/DeepSearch.h"

#include "cli/ExitCode.h"
#include "cli/FailureReport.h"
#include "cli/Messages.h"
#include "cli/OutputPaths.h"
#include "cli/ResultFormatter.h"
#include "recovery/SystemServices.h"
#include "recovery/OutputDirectory.h"
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

int FileCopy::openSnapshot(unsigned snapshot, const std::string& source, std::ostream& err) {
    if (job_.options.snapshot == snapshot) return kExitOk;
    restore_.close();
    job_.options.snapshot = snapshot;
    return openFilesystem(source, err);
}

bool FileCopy::openDeletedFile(std::uint64_t record, std::string& why, RestoreJob::Status& status) {
    record_ = record;
    status = restore_.select(record);
    return explain(status, "record " + std::to_string(record), why);
}

bool FileCopy::openLoggedFile(std::uint64_t record, std::string& why, RestoreJob::Status& status) {
    record_.reset();
    status = restore_.selectLogged(record);
    return explain(status, "record " + std::to_string(record), why);
}

bool FileCopy::openFileAt(std::uint64_t offset, std::string& why, RestoreJob::Status& status) {
    record_.reset();
    status = restore_.selectAtOffset(offset);
    return explain(status, "the record at byte " + std::to_string(offset), why);
}

bool FileCopy::openCarved(std::uint64_t offset, std::string& why, RestoreJob::Status& status) {
    record_.reset();
    status = restore_.selectCarved(offset);
    if (status == RestoreJob::Status::Ready) return true;
    why = "no file of a known format starts and holds together at byte " + std::to_string(offset) +
          "; `resurgo search --carve` lists the offsets of the files it finds";
    return false;
}

bool FileCopy::explain(RestoreJob::Status status, const std::string& subject, std::string& why) {
    switch (status) {
        case RestoreJob::Status::Ready:
            return true;
        case RestoreJob::Status::NoSuchRecord:
            why = subject + " does not exist: " +
                  (restore_.recordCount() == 0
                       ? std::string("the MFT holds no records")
                       : "the MFT holds records 0 to " + std::to_string(restore_.recordCount() - 1)) +
                  "; `resurgo search` lists the deleted files with their records";
            break;
        case RestoreJob::Status::NotLogged:
            why = "$LogFile keeps no file of " + subject +
                  " that its record no longer holds; `resurgo search` marks the files it rebuilt from the log "
                  "\"from the journal\"";
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
            if (sourceFailed(status) && restore_.failure()->code() == kErrReadDisk) {
                why = subject + " can't be read: the source could not give its MFT clusters";
                if (const std::optional<std::uint64_t> at = recordOffset(); at) {
                    why += " (byte " + std::to_string(*at) + " of the volume)";
                }
                why += ": " + FailureReport::reason(*restore_.failure());
            } else if (sourceFailed(status)) {
                why = subject + " lies where the MFT's run list maps clusters a second time; that mapping is dropped, "
                                "the record is read where the clusters were first mapped";
            } else {
                why = subject + " can't be read: " + FailureReport::reason(*restore_.failure());
            }
            break;
        default:
            why = subject + " is damaged: " + FailureReport::reason(*restore_.failure());
            break;
    }
    return false;
}

int FileCopy::exitStatus(RestoreJob::Status status) {
    switch (status) {
        case RestoreJob::Status::NoSuchRecord: return kExitNoSuchRecord;
        case RestoreJob::Status::NotLogged: return kExitNotLogged;
        case RestoreJob::Status::InUse: return kExitRecordInUse;
        case RestoreJob::Status::Directory: return kExitRecordIsDirectory;
        case RestoreJob::Status::NotCarved: return kExitNotCarved;
        default: return kExitFileDamaged;
    }
}

bool FileCopy::sourceFailed(RestoreJob::Status status) const {
    if (status != RestoreJob::Status::Unreadable || !restore_.failure()) return false;
    return restore_.failedOnSource();
}

std::optional<std::uint64_t> FileCopy::recordOffset() const {
    if (!record_) return std::nullopt;
    return restore_.recordOffset(*record_);
}

bool FileCopy::isDamage(RestoreJob::Status status) const {
    return exitStatus(status) == kExitFileDamaged && !sourceFailed(status);
}

std::string FileCopy::pathOfRecord(std::uint64_t record) {
    DIRECTORY_INFO directory;
    std::string name;
    if (!job_.filesystem.pathOfRecord(record, directory, name)) return std::string();
    const std::string text = ResultFormatter::directoryText(*directory.names);
    return VisibleText::of(text == "." ? name : text + "/" + name);
}

std::string FileCopy::overwrittenBy(std::uint8_t recoverable, std::uint64_t by) {
    if (recoverable >= 100 || by == FOUND_FILE::kNoRecord) return std::string();
    const std::string path = pathOfRecord(by);
    if (path.empty()) return std::string();
    return FailureReport::fill(recoverable == 0 ? Messages::kOverwrittenBy : Messages::kPartlyOverwrittenBy, path);
}

bool FileCopy::throughGuessedGeometry() const {
    const DeepSearch* deep = job_.deepSearch();
    return job_.options.deep && deep != nullptr && deep->geometryGuessed() && !restore_.entry().isResident() &&
           restore_.size() > 0;
}

FileCopy::Result FileCopy::copy(const std::string& target, OutputMode mode) {
    return result(restore_.restoreTo(target, mode), VisibleText::of(target));
}

FileCopy::Result FileCopy::copyInto(OutputDirectory& directory, const std::string& name) {
    const RestoreJob::Status status = restore_.restoreInto(directory, name);
    const std::string& used = restore_.createdName().empty() ? name : restore_.createdName();
    return result(status, VisibleText::of(OutputPaths::join(directory.path(), used)));
}

FileCopy::Result FileCopy::result(RestoreJob::Status status, const std::string& shown) {
    failure_.clear();
    switch (status) {
        case RestoreJob::Status::NameTaken:
            failure_ = shown + " exists";
            return Result::NameTaken;
        case RestoreJob::Status::CreateFailed:
            failure_ = "cannot create " + shown + ": " + FailureReport::reason(*restore_.failure());
            return Result::CreateFailed;
        case RestoreJob::Status::RestoredDamaged:
            return Result::Damaged;
        case RestoreJob::Status::RestoredWiped:
            return Result::Wiped;
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
                failure_ = "nothing of " + VisibleText::of(name()) + " could be read" + where +
                           "; no file was left at " + shown;
                return Result::Unreadable;
            }
            if (restore_.closeFailed()) {
                // A late write error (a network file system reports some only here).
                failure_ = "closing " + shown + " failed: " + FailureReport::reason(*restore_.failure());
            } else {
                failure_ = "copying into " + shown + " failed: " + FailureReport::reason(*restore_.failure());
            }
            return Result::CopyFailed;
    }
}

} // namespace resurgo::cli
