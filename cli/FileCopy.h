#pragma once
// The restore steps of `restore --record` and `restore --all` in the
// terminal's words: the engine's RestoreJob does the work, this turns its
// statuses into the reasons the command line prints (names in them shown
// escaped) and the exit statuses.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "recovery/RestoreJob.h"

namespace resurgo {
class OutputDirectory;
class SearchJob;
}

namespace resurgo::cli {

class FileCopy {
public:
    // Unreadable: nothing of the file could be read (no file is left).
    // Wiped: written, but whole runs read back as zeros.
    enum class Result { Restored, Damaged, Wiped, NameTaken, CreateFailed, CopyFailed, Unreadable };

    explicit FileCopy(SearchJob& job);
    virtual ~FileCopy();
    FileCopy(const FileCopy&) = delete;
    FileCopy& operator=(const FileCopy&) = delete;

    // Opens the job's filesystem (closed again by the destructor, however
    // the restore ends). On failure, reports it for source on err and
    // returns the exit status; kExitOk otherwise.
    int openFilesystem(const std::string& source, std::ostream& err);
    // Opens shadow copy n (0: the volume itself) in its place, unless it
    // is the one open.
    int openSnapshot(unsigned snapshot, const std::string& source, std::ostream& err);

    // Selects MFT record n. False (with why) when the record can't be read
    // or is not a deleted file; status tells which.
    bool openDeletedFile(std::uint64_t record, std::string& why, RestoreJob::Status& status);
    // The same for the file whose record starts at byte offset (deep search).
    bool openFileAt(std::uint64_t offset, std::string& why, RestoreJob::Status& status);
    // The version of record n that $LogFile keeps (a search's logfile row).
    bool openLoggedFile(std::uint64_t record, std::string& why, RestoreJob::Status& status);
    // The same for the file a carve finds at byte offset of the source.
    bool openCarved(std::uint64_t offset, std::string& why, RestoreJob::Status& status);
    // The exit status for a record openDeletedFile or openFileAt refused.
    static int exitStatus(RestoreJob::Status status);
    // Whether that refusal is the record's damage ("File damaged."), not
    // the source's: a record whose MFT clusters can't be read, or that the
    // MFT's run list maps onto clusters mapped before, is not damaged.
    bool isDamage(RestoreJob::Status status) const;
    const std::string& name() const { return restore_.name(); }
    // The selected file's data lies in clusters found through a volume
    // geometry a deep scan guessed: what is read may be another file's.
    bool throughGuessedGeometry() const;
    std::uint64_t size() const { return restore_.size(); }
    // The bytes the copy writes (sparse holes left out).
    std::uint64_t storedBytes() const { return restore_.storedBytes(); }
    // How much of the selected file can still come back, in percent, or -1
    // when that can't be told (see RestoreJob::measureRecoverable).
    int measureRecoverable() { return restore_.measureRecoverable(); }
    // The path (shown escaped, "/" between names) of the file of MFT
    // record n, or "" when it can't be named.
    std::string pathOfRecord(std::uint64_t record);
    // After measureRecoverable: what the walk found of the file.
    const FOUND_FILE& measured() const { return restore_.measured(); }
    // "partly overwritten by `PATH`" ("overwritten by" at 0 %) for a file
    // overwritten (recoverable below 100) by the one file of record by,
    // when it can be named; "" otherwise.
    std::string overwrittenBy(std::uint8_t recoverable, std::uint64_t by);

    // Creates target and copies the selected file into it (see
    // RestoreJob::restoreTo); a partly written file stays.
    Result copy(const std::string& target, OutputMode mode);
    // Creates name, or the first free numbered name, in directory and
    // copies the selected file into it; createdName() tells which.
    Result copyInto(OutputDirectory& directory, const std::string& name);
    const std::string& createdName() const { return restore_.createdName(); }
    std::uint64_t damagedUnits() const { return restore_.result().damagedUnits; }
    const RESTORE_RESULT& result() const { return restore_.result(); }
    std::uint64_t bytesWritten() const { return restore_.result().bytesWritten; }
    // Why the last copy failed, and what the system said about the
    // destination when it could not be created.
    const std::string& failure() const { return failure_; }
    OutputFailure createFailure() const { return restore_.createFailure(); }

private:
    // The record could not be read for the source's sake (see isDamage).
    bool sourceFailed(RestoreJob::Status status) const;
    // Where the record last selected by number lies on the volume.
    std::optional<std::uint64_t> recordOffset() const;
    Result result(RestoreJob::Status status, const std::string& shown);
    // False (with why) unless status is Ready.
    bool explain(RestoreJob::Status status, const std::string& subject, std::string& why);

    SearchJob& job_;
    RestoreJob restore_;
    std::string failure_;
    std::optional<std::uint64_t> record_;
};

} // namespace resurgo::cli
