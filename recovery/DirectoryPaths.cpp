#include "recovery/DirectoryPaths.h"

#include <algorithm>
#include <set>

#include "core/ErrorException.h"
#include "file/FileZ.h"
#include "recovery/FOUND_FILE.h"

namespace resurgo {

namespace {

std::string placeholderDir(const FILE_REFERENCE& ref) {
    return "dir_@" + std::to_string(static_cast<std::int32_t>(ref.recordLow()));
}

std::string placeholderNotFound(std::uint64_t recordNumber) { return "!not_found_@" + std::to_string(recordNumber); }

// A directory's name as a part of a path.
std::string pathPart(const std::string& name) { return name + '\\'; }

FILE_REFERENCE rootReference() { return FILE_REFERENCE::toRecord(DirectoryPaths::kRootDirectory); }

} // namespace

DirectoryPaths::DirectoryPaths(const VolumeAccess& volume) : vol_(volume) {}
DirectoryPaths::~DirectoryPaths() = default;

bool DirectoryPaths::parentMatches(const FileZ& dir, const FILE_REFERENCE& reference) const {
    const std::uint16_t want = reference.sequence();
    if (want == 0) return true;  // a reference without a sequence number
    const MFT_RECORD& rec = dir.records().front();
    if (rec.sequenceNumber == want) return true;
    // Freeing a record bumps its sequence number (skipping 0).
    if (!rec.inUse()) {
        std::uint16_t bumped = want == 0xFFFF ? 1 : static_cast<std::uint16_t>(want + 1);
        return rec.sequenceNumber == bumped;
    }
    return false;
}

std::string DirectoryPaths::getDirectoryName(const FILE_REFERENCE& directory, FILE_REFERENCE& parent) {
    // Locating the record beyond the MFT's data is a failure of its own.
    if (directory.recordNumber() >= vol_.mft.recordCapacity()) {
        throw ErrorException(kErrEndOfFile, "FileZ::getSectorOfNextCluster <End of file>");
    }
    FileZ dir;
    try {
        vol_.openEntry(directory.recordNumber(), dir);
    } catch (const ErrorException&) {
        parent = rootReference();
        return placeholderDir(directory);
    }
    std::string name;
    if (dir.isDirectory() && parentMatches(dir, directory)) {
        name = dir.getName();
        parent = dir.getDirectoryReference();
    } else {
        // The record now holds a file, or another directory than the one
        // referred to.
        parent = rootReference();
        name = placeholderDir(directory);
    }
    dir.close();
    return name;
}

void DirectoryPaths::walkUp(const FILE_REFERENCE& directory, const FILE_REFERENCE& parent, std::string& path,
                            std::vector<std::string>& names) {
    std::set<std::uint64_t> visited{directory.recordNumber()};
    FILE_REFERENCE current = parent;
    int depth = 0;
    while (current.recordNumber() != kRootDirectory) {
        const std::uint64_t n = current.recordNumber();
        if (visited.count(n) != 0 || ++depth > kMaxDirectoryDepth) {
            // The chain loops (or never ends): show where it closed.
            names.push_back(placeholderDir(current));
            path = names.back() + "\\" + path;
            break;
        }
        visited.insert(n);
        auto c = cache_.find(current.raw());
        if (c != cache_.end()) {
            path = pathPart(c->second.name) + path;
            names.push_back(c->second.name);
            current = c->second.parent;
            continue;
        }
        FILE_REFERENCE next;
        try {
            std::string dirName = getDirectoryName(current, next);
            cache_.emplace(current.raw(), DIRECTORY_INFO(std::string(), dirName, next));
            path = pathPart(dirName) + path;
            names.push_back(std::move(dirName));
            current = next;
        } catch (const ErrorException&) {
            std::string missing = placeholderNotFound(n);
            cache_.emplace(current.raw(), DIRECTORY_INFO(std::string(), missing, FILE_REFERENCE(0)));
            path = missing + "\\" + path;
            names.push_back(std::move(missing));
            break;
        }
    }
}

DIRECTORY_INFO DirectoryPaths::getDirectoryInfo(const FILE_REFERENCE& directory) {
    const std::uint64_t key = directory.raw();
    std::string name;
    FILE_REFERENCE parent;
    auto it = cache_.find(key);
    if (it != cache_.end()) {
        if (!it->second.path.empty()) return it->second;
        name = it->second.name;
        parent = it->second.parent;
    } else {
        try {
            name = getDirectoryName(directory, parent);
        } catch (const ErrorException&) {
            name = placeholderNotFound(directory.recordNumber());
            parent = FILE_REFERENCE(0);
        }
        cache_.emplace(key, DIRECTORY_INFO(std::string(), name, parent));
    }

    std::string path = pathPart(name);
    // The names from the directory up.
    std::vector<std::string> names{name};
    walkUp(directory, parent, path, names);
    if (path == ".\\") names.clear();  // the root directory
    std::reverse(names.begin(), names.end());
    DIRECTORY_INFO& cached = cache_[key];
    cached.path = path;
    cached.names = std::make_shared<const std::vector<std::string>>(std::move(names));
    return cached;
}

std::string DirectoryPaths::getDirectoryPath(const FileZ& file) {
    return getDirectoryInfo(file.getDirectoryReference()).path;
}

} // namespace resurgo
