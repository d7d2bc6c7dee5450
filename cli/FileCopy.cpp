#include "cli/FileCopy.h"

#include "cli/FailureReport.h"
#include "platform/Platform.h"
#include "recovery/RESTORE_RESULT.h"

namespace resurgo::cli {

FileCopy::FileCopy(SearchJob& job) : job_(job) {}

FileCopy::~FileCopy() {
    if (!opened_) return;
    try {
        job_.filesystem.close();
    } catch (const ErrorException&) {
        // Closing a read-only source: nothing was written that could be lost.
    }
}

void FileCopy::openFilesystem() {
    job_.filesystem.open(job_.geometry);
    opened_ = true;
}

bool FileCopy::openDeletedFile(std::uint64_t record, FileZ& file, std::string& why) {
    try {
        file.openRecord(job_.filesystem.volume(), job_.geometry, &job_.filesystem.mftEntry(), record);
    } catch (const ErrorException& e) {
        why = "record " + std::to_string(record) + " can't be read: " + FailureReport::reason(e);
        return false;
    }
    try {
        if (file.isDirectory()) {
            why = "record " + std::to_string(record) + " is a directory";
        } else if (!file.isDeleted()) {
            why = "record " + std::to_string(record) + " is in use, not a deleted file";
        } else {
            // Name and size must be readable for the restore to go on.
            (void)file.getName();
            (void)file.getRealSize();
            return true;
        }
    } catch (const ErrorException& e) {
        why = "record " + std::to_string(record) + " is damaged: " + FailureReport::reason(e);
    }
    file.close();
    return false;
}

FileCopy::Result FileCopy::copy(const FileZ& file, const std::string& target) {
    damagedUnits_ = 0;
    bytesWritten_ = 0;
    failure_.clear();
    OsHandle out = kNoHandle;
    try {
        out = job_.filesystem.openOutputFile(target);
    } catch (const ErrorException& e) {
        failure_ = "cannot create " + target + ": " + FailureReport::reason(e);
        return Result::CreateFailed;
    }
    try {
        RESTORE_RESULT r = job_.filesystem.copyFileZ(file, out);
        damagedUnits_ = r.damagedUnits;
        bytesWritten_ = r.bytesWritten;
    } catch (const ErrorException& e) {
        failure_ = "copying into " + target + " failed: " + FailureReport::reason(e);
        platform().closeOutput(out);
        return Result::CopyFailed;
    }
    if (!platform().closeOutput(out)) {
        // A late write error (a network file system reports some only here).
        failure_ = "closing " + target + " failed: " + platform().errorText(platform().lastError());
        return Result::CopyFailed;
    }
    return damagedUnits_ > 0 ? Result::Damaged : Result::Restored;
}

} // namespace resurgo::cli
