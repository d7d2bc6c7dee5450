#pragma once
// Drives one whole search: source, boot record, geometry, filesystem,
// walk, close. The restore uses the same job's objects (see RestoreJob).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/ErrorException.h"
#include "ntfs/BootRecordNTFS.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "recovery/FilesystemNTFS.h"
#include "source/SHADOW_STORE.h"
#include "recovery/carve/CarveSearch.h"

namespace resurgo {

class DeepSearch;
class FileZ;
class OutputSink;
class ProgressSink;
class SearchProgress;
class SnapshotSearch;
class Source;
class SourceStack;

class SearchJob {
public:
    // Longest pattern the search accepts (characters).
    static constexpr std::size_t kMaxPatternLength = 255;

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
    SearchJob(const SearchJob&) = delete;
    SearchJob& operator=(const SearchJob&) = delete;

    void run(ProgressSink* progress, const std::atomic<std::uint8_t>* cancel);

    // Reads from source (memory, a source built by a test; the caller keeps
    // it alive) instead of opening driveRoot; nullptr goes back to driveRoot.
    void useSource(Source* source) { external_ = source; }
    // The one way a source is opened: the stack of image or device,
    // container and partition the job reads. A front end that chooses the
    // partition opens it here (SourceStack::open) before run; else the job
    // opens driveRoot through it itself, as a whole source (a volume, or the
    // one NTFS partition of a disk), when a search or restore needs it.
    SourceStack& sourceStack();

    // Reads the boot record of the job's source and builds the geometry
    // (used by the search and the restore alike). Raises on failure. A
    // source the job opens for it stays open, read once, for
    // openFilesystem, until closeFilesystem.
    void prepareGeometry();
    void prepareGeometry(const std::string& root);
    // Opens the filesystem on the job's source with the geometry.
    void openFilesystem();
    // Closes the filesystem and the source the job opened.
    void closeFilesystem();

    // What a search does beyond its age limit and pattern; set before run.
    struct Options {
        // Files of which less can still come back (in percent) are left out.
        std::int32_t minRecoverable = 0;
        // Sample each file's clusters for zeros (data a drive wiped): reads
        // data, so only when asked; not for a deep search.
        bool verify = false;
        // Scan the whole source for MFT records (a quick-formatted volume, a
        // destroyed MFT or boot sector) instead of walking the volume's MFT;
        // restores then open the filesystem as the scan did (see DeepSearch).
        bool deep = false;
        // Search the volume's shadow copies too (see SnapshotSearch): the
        // files they hold that the volume no longer does, and their own
        // deleted files.
        bool snapshots = false;
        // Read shadow copy n of the volume (1 = the oldest) instead of the
        // volume itself: restores of what a search found there. 0: the volume.
        unsigned snapshot = 0;
        // Also look for files by their content in the free clusters (the
        // whole source when the volume's bitmap is lost), named from the
        // directory index entries found (see CarveSearch).
        bool carve = false;
    };

    // True when the search accepts pattern (at most kMaxPatternLength
    // characters); length is its length in characters either way. The one
    // place the rule is kept: front ends ask it before they start a run.
    static bool patternAccepted(const std::string& pattern, std::size_t& length);

    BootRecordNTFS bootRecord;
    NTFS_GEOMETRY geometry;
    FilesystemNTFS filesystem;
    std::int32_t days = 1;
    std::string pattern = "*";
    std::string driveRoot;
    Options options;

    // The state of the last deep search (null before one ran).
    const DeepSearch* deepSearch() const { return deep_.get(); }
    // Restores after a deep search: opens the filesystem as it did, and the
    // file whose base record starts at byte offset of the source.
    void openDeep();
    void openDeepAt(std::uint64_t offset, FileZ& entry);
    bool deepInUse(std::uint64_t offset, const FileZ& entry);
    // Where $LogFile starts in the deep-opened volume when its MFT is lost.
    std::optional<std::uint64_t> deepLogStart();

    // The shadow copies of the volume, oldest first, after a search with
    // `snapshots`, readSnapshots or the opening of a copy (`snapshot`), and
    // what went wrong reading them (one sentence each).
    const std::vector<SHADOW_STORE>& snapshots() const { return snapshotList_; }
    const std::vector<std::string>& snapshotWarnings() const { return snapshotWarnings_; }
    // Reads the catalog of the job's volume (not of a copy); false when
    // the source can't be opened.
    bool readSnapshots();

    Outcome outcome() const { return outcome_; }
    // After the boot record was read: the volume's length as its boot
    // sector states it, and the source's. A source shorter than its volume
    // (a cut-off image, a partial copy of a failing disk) has lost files or
    // parts of files past its end.
    std::uint64_t volumeBytes() const { return volumeBytes_; }
    std::uint64_t sourceBytes() const { return sourceBytes_; }
    // Also known when the boot record was turned down, if its start states
    // a length: a volume cut off inside its first clusters fails that way.
    bool sourceCutOff() const { return sourceBytes_ != 0 && sourceBytes_ < volumeBytes_; }
    // Where the volume's MFT begins, as its boot sector states it (0 when
    // unknown): past sourceBytes() on a volume cut off before it.
    std::uint64_t mftOffset() const { return mftOffset_; }
    std::uint64_t mftMirrorOffset() const { return mftMirrorOffset_; }
    // What the last carve looked at (see CarveSearch).
    const CarveSearch::Report& carveReport() const { return carveReport_; }
    // A carved file: the one a carve finds at byte offset of the source
    // (unnamed; false when none holds together there), and its bytes.
    bool measureCarved(std::uint64_t offset, FOUND_FILE& file);
    void copyCarved(const FOUND_FILE& file, OutputSink& out);
    // The failure behind BootFailed, OpenFailed or WalkFailed.
    const std::optional<ErrorException>& failure() const { return failure_; }

private:
    Source& source();
    // The volume itself, whichever copy the job reads.
    Source& volumeSource();
    SnapshotSearch& snapshotState();
    // Opens driveRoot through the stack; raises what stopped it.
    void openRoot();
    void releaseSource();
    DeepSearch& deepState();
    // The walk of the open volume's MFT (and its shadow copies), then a carve.
    void runWalk(SearchProgress& progress, const std::atomic<std::uint8_t>* cancel);
    void runDeep(SearchProgress& progress, const std::atomic<std::uint8_t>* cancel);
    // Carves after the walk or scan, with the filesystem still open.
    void runCarve(SearchProgress& progress, const std::atomic<std::uint8_t>* cancel, const CarveSearch::Layout& layout);
    // Carves the whole source when the volume can't be walked: the failure
    // stays known, the outcome is the carve's.
    void carveInstead(SearchProgress& progress, const std::atomic<std::uint8_t>* cancel,
                      const CarveSearch::Layout& layout);
    // Weighs the phases the search will go through by the bytes each
    // reads, as far as known before it starts (see SearchProgress); copies:
    // the shadow copies walked after the volume.
    void planPhases(SearchProgress& progress, std::size_t copies);
    // Reads what the start of a boot record that did not pass states about
    // the volume's length and its MFT.
    void noteStatedLayout(Source& src);

    Outcome outcome_ = Outcome::Completed;
    std::uint64_t volumeBytes_ = 0;
    std::uint64_t sourceBytes_ = 0;
    std::uint64_t mftOffset_ = 0;
    std::uint64_t mftMirrorOffset_ = 0;
    std::optional<ErrorException> failure_;
    Source* external_ = nullptr;
    // The stack the job reads; opened by the job for stackRoot_, else by
    // the front end (stackChosen_).
    std::unique_ptr<SourceStack> stack_;
    std::string stackRoot_;
    bool stackChosen_ = false;
    std::unique_ptr<DeepSearch> deep_;
    std::unique_ptr<SnapshotSearch> snapshots_;
    std::vector<SHADOW_STORE> snapshotList_;
    std::vector<std::string> snapshotWarnings_;
    CarveSearch::Report carveReport_;
};

} // namespace resurgo
