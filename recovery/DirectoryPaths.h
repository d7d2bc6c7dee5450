#pragma once
// Directory paths of deleted files, rebuilt by climbing parent references
// to the root directory, with a cache of every directory met. A parent
// whose record is gone or reused shows as a placeholder ("dir_@N",
// "!not_found_@N") so that a path is always given.

#include <cstdint>
#include <map>
#include <string>

#include "ntfs/FILE_REFERENCE.h"
#include "recovery/DIRECTORY_INFO.h"
#include "recovery/VolumeAccess.h"

namespace resurgo {

class FileZ;

class DirectoryPaths {
public:
    // The root directory's record.
    static constexpr std::uint64_t kRootDirectory = 5;
    // Longest parent chain followed before the ascent gives up.
    static constexpr int kMaxDirectoryDepth = 1024;

    explicit DirectoryPaths(const VolumeAccess& volume);
    virtual ~DirectoryPaths();
    DirectoryPaths(const DirectoryPaths&) = delete;
    DirectoryPaths& operator=(const DirectoryPaths&) = delete;

    // The path of the file's directory: each name followed by "\", from
    // below the root down ("Documents\Letters\"); the root shows as ".\".
    std::string getDirectoryPath(const FileZ& file);
    DIRECTORY_INFO getDirectoryInfo(const FILE_REFERENCE& directory);
    // The name of one directory record and its parent reference.
    std::string getDirectoryName(const FILE_REFERENCE& directory, FILE_REFERENCE& parent);

    // Directories met, by raw file reference. Map nodes stay where they
    // are, so a path in it may be pointed at while more are added.
    std::map<std::uint64_t, DIRECTORY_INFO>& cache() { return cache_; }
    std::size_t size() const { return cache_.size(); }
    void clear() { cache_.clear(); }

private:
    // Puts the names of the directories above directory (whose parent is
    // parent) before path and after names, up to the root or to where the
    // chain loops or breaks.
    void walkUp(const FILE_REFERENCE& directory, const FILE_REFERENCE& parent, std::string& path,
                std::vector<std::string>& names);
    bool parentMatches(const FileZ& dir, const FILE_REFERENCE& reference) const;

    VolumeAccess vol_;
    std::map<std::uint64_t, DIRECTORY_INFO> cache_;
};

} // namespace resurgo
