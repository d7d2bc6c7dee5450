#pragma once
// Drives one whole search: boot record, geometry, filesystem, walk, close.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "core/ErrorException.h"
#include "ntfs/BootRecordNTFS.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "recovery/FilesystemNTFS.h"

namespace resurgo {

class ProgressSink;

class SearchJob {
public:
    // How the last search ended.
    enum class Outcome {
        Completed,     // the whole MFT was walked
        Cancelled,     // the cancel flag stopped the walk
        BadPattern,    // the pattern is longer than the matcher accepts
        BootFailed,    // source unreadable or not an NTFS boot sector
        OpenFailed,    // the volume's MFT could not be opened
        WalkFailed,    // the walk stopped early on a failure
    };

    SearchJob();
    virtual ~SearchJob();

    void run(ProgressSink* progress, const std::atomic<std::uint8_t>* cancel);

    // Reads the boot record of root and builds the geometry (used by the
    // search and the restore alike). Raises on failure.
    void prepareGeometry(const std::string& root);

    BootRecordNTFS bootRecord;
    NTFS_GEOMETRY geometry;
    FilesystemNTFS filesystem;
    std::int32_t days = 1;
    std::string pattern = "*";
    std::string driveRoot;

    Outcome outcome() const { return outcome_; }
    // The failure behind BootFailed, OpenFailed or WalkFailed.
    const std::optional<ErrorException>& failure() const { return failure_; }

private:
    Outcome outcome_ = Outcome::Completed;
    std::optional<ErrorException> failure_;
};

} // namespace resurgo
