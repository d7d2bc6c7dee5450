#pragma once
// One restore, step by step, for both front ends: open the volume of a
// search job, pick a record and check that it is a deleted file, then
// write its data to a destination. Questions for the user (overwrite? the
// same drive?) are asked by the front end between select and restoreTo.
// The filesystem is closed by close or the destructor.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/ErrorException.h"
#include "file/FileZ.h"
#include "platform/Platform.h"
#include "recovery/FOUND_FILE.h"
#include "recovery/RESTORE_RESULT.h"

namespace resurgo {

class FileOutput;
class LogfileSearch;
class OutputDirectory;
class OutputSink;
class SearchJob;

class RestoreJob {
public:
    enum class Status {
        Ready,         // the step succeeded
        BootFailed,    // source unreadable or not an NTFS boot sector
        OpenFailed,    // the volume's MFT could not be opened
        NoSuchRecord,  // the record lies beyond the MFT
        NotLogged,     // $LogFile keeps no version of the record a search lists
        Unreadable,    // the record can't be read or is no base file record
        InUse,         // the record holds a file that is not deleted
        Directory,     // the record is a directory
        Damaged,       // the record's name or size can't be read
        NameTaken,     // a new file was asked for and the name exists (a link too)
        CreateFailed,  // the destination could not be created (createFailure tells why)
        CopyFailed,    // reading or writing failed; a partly written file stays
        Restored,
        RestoredDamaged,  // written, with damaged compressed units or unreadable
                          // ranges as zeros (see result())
        RestoredWiped,    // written, but whole runs read back as zeros: the
                          // drive wiped them (result().zeroedBytes)
        NotCarved,        // no file of a known format holds together at the offset
    };

    // Uses job's boot record, geometry and filesystem, and its source.
    explicit RestoreJob(SearchJob& job);
    virtual ~RestoreJob();
    RestoreJob(const RestoreJob&) = delete;
    RestoreJob& operator=(const RestoreJob&) = delete;

    // Reads the boot record and opens the filesystem: Ready, BootFailed or
    // OpenFailed. For a job whose `deep` is set, opens the filesystem as
    // its deep search did (see SearchJob::openDeep).
    Status open();
    // Opens record n: Ready when it is a deleted file whose name and size
    // can be read (in a shadow copy, also a file in use there).
    Status select(std::uint64_t record);
    // Opens the file whose base record starts at byte offset of the source
    // (as a deep search lists it): Ready when it is a file, not one the
    // current volume uses, whose size can be read. A file whose names are
    // gone is called record_N.
    Status selectAtOffset(std::uint64_t offset);
    // Opens the version of record n that $LogFile keeps and a search lists
    // (see LogfileSearch): Ready, or NotLogged when the log keeps none. The
    // log is read once per open.
    Status selectLogged(std::uint64_t record);
    // Selects the file a carve finds at byte offset of the source (see
    // SearchJob::measureCarved): Ready, or NotCarved. Needs no open.
    Status selectCarved(std::uint64_t offset);
    // The carved file selected, or null.
    const FOUND_FILE* carved() const { return carved_ ? &*carved_ : nullptr; }
    const FileZ& entry() const { return entry_; }
    // Records the MFT holds (valid numbers are below it) once open.
    std::uint64_t recordCount() const;
    const std::string& name() const { return name_; }
    std::uint64_t size() const { return size_; }
    // Of the selected file's size, the bytes a restore writes: its sparse
    // holes stay holes where the destination keeps them. What a free-space
    // check counts (the size when the data can't be laid out).
    std::uint64_t storedBytes() const;
    // How much of the selected file can still come back, in percent (see
    // Recoverability), or -1 when that can't be told. A file with clusters
    // takes a walk of the whole MFT: every deleted file's claims count. A
    // file selected by offset after a deep open is weighed against the
    // current volume's $Bitmap alone.
    int measureRecoverable(const std::atomic<std::uint8_t>* cancel = nullptr);
    // After measureRecoverable: what the walk found of the file (its
    // unowned share, the file that overwrote it); 100 % and no owner when
    // it was not walked.
    const FOUND_FILE& measured() const { return measured_; }

    // Creates target and writes the selected file into it: NewOnly gives
    // NameTaken when anything has the name; Replace puts a new file in
    // the place of what had it (a link is replaced, not followed). When
    // nothing of the file could be read, the file made is removed again
    // (CopyFailed, failure() code kErrReadDisk); so in restoreInto.
    Status restoreTo(const std::string& target, OutputMode mode);
    // Creates name, or the first free numbered name, inside directory and
    // writes the selected file into it; createdName() tells which name.
    Status restoreInto(OutputDirectory& directory, const std::string& name);
    const std::string& createdName() const { return createdName_; }
    // Writes the selected file into out.
    Status restoreTo(OutputSink& out);
    const RESTORE_RESULT& result() const { return result_; }

    // The failure behind the last status that was not Ready or Restored.
    const std::optional<ErrorException>& failure() const { return failure_; }
    // True when failure() came from the source rather than the file: a read
    // error, or MFT runs that map the same clusters twice.
    bool failedOnSource() const;
    // The byte offset of record in the source, through the MFT's runs;
    // nothing when the runs do not reach it.
    std::optional<std::uint64_t> recordOffset(std::uint64_t record) const;
    // Why the destination could not be created (after CreateFailed).
    OutputFailure createFailure() const { return createFailure_; }
    // True when the copy went through but closing the destination failed
    // (a late write error some file systems report only then); failure()
    // then holds the system's error.
    bool closeFailed() const { return closeFailed_; }

    void close();

    // About a destination, for the front ends' checks: the bytes available
    // to the caller on the file system holding path (false when unknown),
    // and whether anything has the name (a symbolic link that leads
    // nowhere too).
    static bool availableSpace(const std::string& path, std::uint64_t& bytes);
    static bool destinationExists(const std::string& path);

private:
    // Forgets the file selected (and why it could not be), before a select.
    void clearSelection();
    // The status of a create that raised e.
    Status created(const ErrorException& e);
    // Writes into a file just created and closes it (removes it when
    // nothing could be read).
    Status finish(FileOutput& out);

    SearchJob& job_;
    bool opened_ = false;
    FileZ entry_;
    std::optional<FOUND_FILE> carved_;
    bool selected_ = false;
    bool logged_ = false;
    std::unique_ptr<LogfileSearch> log_;
    std::string name_;
    std::uint64_t size_ = 0;
    RESTORE_RESULT result_;
    FOUND_FILE measured_;
    std::optional<ErrorException> failure_;
    OutputFailure createFailure_ = OutputFailure::Other;
    std::string createdName_;
    bool closeFailed_ = false;
};

} // namespace resurgo
