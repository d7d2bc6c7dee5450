#pragma once
// The steps of a restore shared by `restore --record` and `restore --all`:
// open the job's filesystem (closed again by the destructor, however the
// restore ends), open a record as a deleted file, then create the
// destination and copy the file's data into it with the engine.

#include <cstdint>
#include <string>

#include "file/FileZ.h"
#include "recovery/SearchJob.h"

namespace resurgo::cli {

class FileCopy {
public:
    enum class Result { Restored, Damaged, CreateFailed, CopyFailed };

    explicit FileCopy(SearchJob& job);
    virtual ~FileCopy();
    FileCopy(const FileCopy&) = delete;
    FileCopy& operator=(const FileCopy&) = delete;

    // FilesystemNTFS::open with the job's geometry; raises as it does.
    void openFilesystem();

    // Opens MFT record n of the job's open filesystem into file. False
    // (with why) when the record can't be read or is not a deleted file.
    bool openDeletedFile(std::uint64_t record, FileZ& file, std::string& why);

    // Creates target (the engine's openOutputFile) and copies file into it
    // (copyFileZ); a partly written file stays.
    Result copy(const FileZ& file, const std::string& target);
    std::uint64_t damagedUnits() const { return damagedUnits_; }
    std::uint64_t bytesWritten() const { return bytesWritten_; }
    // Why the last copy failed.
    const std::string& failure() const { return failure_; }

private:
    SearchJob& job_;
    bool opened_ = false;
    std::uint64_t damagedUnits_ = 0;
    std::uint64_t bytesWritten_ = 0;
    std::string failure_;
};

} // namespace resurgo::cli
