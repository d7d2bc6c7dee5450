#pragma once
// The recovery engine's view of one NTFS volume: the volume on its source,
// its geometry, the MFT's own entry, the directory cache and the results
// of the last search. Searches and restores bracket their work with open
// and close.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "file/FileZ.h"
#include "file/MftReader.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "platform/Platform.h"
#include "recovery/DIRECTORY_INFO.h"
#include "recovery/DirectoryPaths.h"
#include "recovery/FOUND_FILE.h"
#include "recovery/LESS_RECOVERABLE.h"
#include "recovery/LOGGED_NAME.h"
#include "recovery/MFT_GAPS.h"
#include "recovery/OLDER_MATCHES.h"
#include "recovery/RESTORE_RESULT.h"
#include "recovery/SEARCH_CONTEXT.h"
#include "recovery/SEARCH_FILTER.h"
#include "recovery/VolumeAccess.h"
#include "volume/Volume.h"

namespace resurgo {

class OutputSink;
class Source;

class FilesystemNTFS {
public:
    static constexpr std::uint64_t kRootDirectory = DirectoryPaths::kRootDirectory;
    // Longest parent chain followed before the ascent gives up.
    static constexpr int kMaxDirectoryDepth = DirectoryPaths::kMaxDirectoryDepth;
    // Bytes per read and write while copying a file's data.
    static constexpr std::size_t kCopyChunkBytes = 1 << 20;

    FilesystemNTFS();
    virtual ~FilesystemNTFS();
    FilesystemNTFS(const FilesystemNTFS&) = delete;
    FilesystemNTFS& operator=(const FilesystemNTFS&) = delete;

    // Opens the volume on source (which must stay alive until close) and
    // the MFT's own entry (from the mirror when the MFT's first record
    // fails). Empties the directory cache: its record numbers belong to the
    // volume last opened.
    void open(Source& source, const NTFS_GEOMETRY& geometry);
    // The same on the image, device or drive that geometry.rootPath names.
    void open(NTFS_GEOMETRY& geometry);
    // Opens the volume on source without its MFT (which is destroyed, or
    // not where the geometry says): files are then opened from records a
    // scan found (see DeepSearch).
    void openVolumeOnly(Source& source, const NTFS_GEOMETRY& geometry);
    void close();
    bool isOpen() const { return volume_.isOpen(); }

    // Results of the last search.
    std::size_t resultCount() const { return results_.size(); }
    const FOUND_FILE& result(std::size_t i) const { return results_.at(i); }
    const std::vector<FOUND_FILE>& results() const { return results_; }
    void clearResults() {
        results_.clear();
        older_ = OLDER_MATCHES();
        less_ = LESS_RECOVERABLE();
        gaps_ = MFT_GAPS();
        logWarnings_.clear();
        loggedNames_.clear();
    }
    // The files of the last search that matched its pattern but not its
    // age limit.
    const OLDER_MATCHES& olderMatches() const { return older_; }
    // Those that matched both but not its least recoverable percentage.
    const LESS_RECOVERABLE& lessRecoverable() const { return less_; }
    // What the last walk of the MFT could not see: unreadable records, and
    // clusters its run list maps twice (then the list may lack files).
    const MFT_GAPS& gaps() const { return gaps_; }
    // What the last search could not read of $LogFile.
    const std::vector<std::string>& logWarnings() const { return logWarnings_; }
    // The data of the file versions $LogFile held at the last search, with
    // their names (see LogfileSearch::dataNames): names for carved files.
    const std::vector<LOGGED_NAME>& loggedNames() const { return loggedNames_; }
    // Adds the results of a search made apart (a deep search), with what
    // it left out for the age limit and the least recoverable percentage.
    void appendResults(std::vector<FOUND_FILE>&& found, const OLDER_MATCHES& older = OLDER_MATCHES(),
                       const LESS_RECOVERABLE& less = LESS_RECOVERABLE()) {
        results_.insert(results_.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
        older_.add(older);
        if (older.nowUtc != 0) older_.nowUtc = older.nowUtc;
        less_.add(less);
    }

    // Puts found in the place of result i (a better copy of the same file).
    void replaceResult(std::size_t i, FOUND_FILE&& found) { results_.at(i) = std::move(found); }

    Volume& volume() { return volume_; }
    const NTFS_GEOMETRY& geometry() const { return geometry_; }
    MftReader& mftEntry() { return mft_; }
    // The volume, geometry and MFT together, for the search's helpers.
    VolumeAccess access() { return VolumeAccess{volume_, geometry_, mft_}; }

    // The deleted-file walk over the whole MFT; results are appended.
    void findFiles(const SEARCH_FILTER& filter, const SEARCH_CONTEXT& context);

    // Opens MFT record n as an entry, read through the MFT's runs.
    void openEntry(std::uint64_t record, FileZ& entry);
    // The path of the file of MFT record n, in use or deleted: its
    // directory as FOUND_FILE::directory holds it, and its name; false
    // when the record or its name can't be read.
    bool pathOfRecord(std::uint64_t record, DIRECTORY_INFO& directory, std::string& name);

    // Directory paths.
    DirectoryPaths& directories() { return paths_; }
    std::string getDirectoryPath(const FileZ& file) { return paths_.getDirectoryPath(file); }
    DIRECTORY_INFO getDirectoryInfo(const FILE_REFERENCE& directory) { return paths_.getDirectoryInfo(directory); }
    std::string getDirectoryName(const FILE_REFERENCE& directory, FILE_REFERENCE& parent) {
        return paths_.getDirectoryName(directory, parent);
    }
    std::size_t directoryCacheSize() const;

    // Restore: writes the entry's unnamed data to out, cut to its real
    // size, with its own modification and access times.
    RESTORE_RESULT restore(const FileZ& file, OutputSink& out);
    // The same into a file opened with openOutputFile (the caller closes it).
    RESTORE_RESULT copyFileZ(const FileZ& file, OsHandle out);
    OsHandle openOutputFile(const std::string& path, OutputMode mode);

private:
    NTFS_GEOMETRY geometry_;
    MftReader mft_;
    Volume volume_;
    DirectoryPaths paths_;
    std::vector<FOUND_FILE> results_;
    OLDER_MATCHES older_;
    LESS_RECOVERABLE less_;
    MFT_GAPS gaps_;
    std::vector<std::string> logWarnings_;
    std::vector<LOGGED_NAME> loggedNames_;
    std::vector<std::uint8_t> copyBuffer_;
};

} // namespace resurgo
