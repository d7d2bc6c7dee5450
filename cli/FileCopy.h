#pragma once
// The restore steps of `restore --record` and `restore --all` in the
// terminal's words: the engine's RestoreJob does the work, this turns its
// statuses into the reasons the command line prints.

#include <cstdint>
#include <ostream>
#include <string>

#include "recovery/RestoreJob.h"

namespace resurgo {
class SearchJob;
}

namespace resurgo::cli {

class FileCopy {
public:
    // Unreadable: nothing of the file could be read (no file is left).
    enum class Result { Restored, Damaged, CreateFailed, CopyFailed, Unreadable };

    explicit FileCopy(SearchJob& job);
    virtual ~FileCopy();
    FileCopy(const FileCopy&) = delete;
    FileCopy& operator=(const FileCopy&) = delete;

    // Opens the job's filesystem (closed again by the destructor, however
    // the restore ends). On failure, reports it for source on err and
    // returns the exit status; kExitOk otherwise.
    int openFilesystem(const std::string& source, std::ostream& err);

    // Selects MFT record n. False (with why) when the record can't be read
    // or is not a deleted file; status tells which.
    bool openDeletedFile(std::uint64_t record, std::string& why, RestoreJob::Status& status);
    const std::string& name() const { return restore_.name(); }
    std::uint64_t size() const { return restore_.size(); }

    // Creates target and copies the selected file into it; a partly
    // written file stays.
    Result copy(const std::string& target);
    std::uint64_t damagedUnits() const { return restore_.result().damagedUnits; }
    const RESTORE_RESULT& result() const { return restore_.result(); }
    std::uint64_t bytesWritten() const { return restore_.result().bytesWritten; }
    // Why the last copy failed.
    const std::string& failure() const { return failure_; }

private:
    SearchJob& job_;
    RestoreJob restore_;
    std::string failure_;
};

} // namespace resurgo::cli
