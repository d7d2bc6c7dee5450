#include "recovery/FilesystemNTFS.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "core/ErrorException.h"
#include "recovery/ProgressSink.h"
#include "volume/SectorBuffer.h"

namespace resurgo {

namespace {

std::string placeholderDir(const FILE_REFERENCE& ref) {
    return "dir_@" + std::to_string(static_cast<std::int32_t>(ref.recordLow()));
}

std::string placeholderNotFound(std::uint64_t recordNumber) { return "!not_found_@" + std::to_string(recordNumber); }

FILE_REFERENCE rootReference() { return FILE_REFERENCE::toRecord(FilesystemNTFS::kRootDirectory); }

// Cheap test on a raw record of what the walk keeps: a base record
// ("FILE", no base reference) that is neither in use nor a directory.
// Everything else would be discarded after opening anyway.
bool mayBeDeletedFile(const std::uint8_t* rec, std::size_t length) {
    if (length < 0x30 || std::memcmp(rec, "FILE", 4) != 0) return false;
    std::uint16_t flags = static_cast<std::uint16_t>(rec[MFT_RECORD::kFlags] | (rec[MFT_RECORD::kFlags + 1] << 8));
    if ((flags & (MFT_RECORD::kFlagInUse | MFT_RECORD::kFlagDirectory)) != 0) return false;
    for (std::size_t i = 0; i < 8; ++i) {
        if (rec[MFT_RECORD::kBaseReference + i] != 0) return false;
    }
    return true;
}

} // namespace

FilesystemNTFS::FilesystemNTFS() = default;
FilesystemNTFS::~FilesystemNTFS() = default;

void FilesystemNTFS::open(NTFS_GEOMETRY& geometry) {
    geometry_ = geometry;
    cache_.clear();
    volume_.openLogical(geometry_.rootPath);
    // Sectors per cluster count sectors of the boot sector's size; the
    // device's own sector size is kept by the volume for its reads.
    try {
        try {
            mft_.open(volume_, geometry_, &mft_, geometry_.clusterToSector(geometry_.mftCluster));
        } catch (const ErrorException&) {
            mft_ = FileZ();
            mft_.open(volume_, geometry_, &mft_, geometry_.clusterToSector(geometry_.mftMirrorCluster));
        }
    } catch (...) {
        // Neither copy opens: leave no handle behind.
        try {
            volume_.close();
        } catch (const ErrorException&) {
        }
        throw;
    }
}

void FilesystemNTFS::close() {
    mft_.close();
    volume_.close();
}

// ---------------------------------------------------------------------------
// Search

void FilesystemNTFS::findFiles(const SEARCH_FILTER& filter, const SEARCH_CONTEXT& context) {
    ProgressSink* sink = context.progress;
    auto cancelled = [&] { return context.cancel != nullptr && context.cancel->load(std::memory_order_relaxed) == 1; };
    if (sink) sink->setPosition(0);

    const std::uint64_t total = mft_.getRealSize();
    if (total == 0) return;
    const std::uint64_t step = total / 100;
    const std::uint32_t recordSize = geometry_.mftRecordSize;
    const std::uint64_t capacity = mft_.recordCapacity();
    const std::uint64_t chunkRecords = std::max<std::uint64_t>(1, kScanChunkBytes / recordSize);
    const std::u32string pattern = FileZ::foldPattern(filter.pattern);
    const std::uint64_t now = platform().currentUtc();

    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(chunkRecords * recordSize));
    std::uint64_t walked = 0;
    int lastPosition = 0;

    for (std::uint64_t first = 0; first < capacity && !cancelled(); first += chunkRecords) {
        const std::uint64_t count = std::min(chunkRecords, capacity - first);
        // One large read per chunk; if it fails, read record by record so
        // that only the unreadable records are lost.
        std::vector<bool> readable(static_cast<std::size_t>(count), true);
        try {
            mft_.readRecords(first, count, chunk.data());
        } catch (const ErrorException& e) {
            if (e.code() == kErrEndOfFile) throw;
            for (std::uint64_t k = 0; k < count; ++k) {
                try {
                    mft_.readRecords(first + k, 1, chunk.data() + k * recordSize);
                } catch (const ErrorException&) {
                    readable[static_cast<std::size_t>(k)] = false;
                }
            }
        }

        for (std::uint64_t k = 0; k < count; ++k) {
            if (cancelled()) return;
            const std::uint64_t record = first + k;
            walked += recordSize;
            if (sink != nullptr && step != 0 && walked % step != 0) {
                int position = static_cast<int>(std::min<std::uint64_t>(walked / step, 1000000));
                if (position != lastPosition) {
                    sink->setPosition(position);
                    lastPosition = position;
                }
            }
            if (!readable[static_cast<std::size_t>(k)]) continue;
            std::uint8_t* bytes = chunk.data() + k * recordSize;
            if (!mayBeDeletedFile(bytes, recordSize)) continue;

            FileZ file;
            try {
                file.openFromBytes(bytes, recordSize, volume_, geometry_, &mft_, mft_.getSectorOfRecord(record),
                                   record);
            } catch (const ErrorException&) {
                continue;  // a free or damaged record
            }
            if (file.isDirectory() || !file.isDeleted()) continue;
            // A record whose name, times, size or directory can't be read is
            // skipped; the walk goes on.
            try {
                if (!FileZ::matchWildcard(pattern, file.getName())) continue;
                FILE_TIME modified = file.getLastModificationTime();
                FILE_TIME created = file.getCreationTime();
                if (!modified.isWithinDays(filter.days, now) && !created.isWithinDays(filter.days, now)) continue;
                FOUND_FILE found(record, file.firstSector(), file.getName());
                found.size = file.getRealSize();
                found.lastModificationTime = modified;
                found.creationTime = created;
                found.lastAccessTime = file.getLastAccessTime();
                found.directory = getDirectoryPath(file);
                results_.push_back(std::move(found));
            } catch (const ErrorException&) {
                continue;
            }
        }
    }
    if (sink) sink->setPosition(0);
}

// ---------------------------------------------------------------------------
// Directory paths

bool FilesystemNTFS::parentMatches(const FileZ& dir, const FILE_REFERENCE& reference) const {
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

std::string FilesystemNTFS::getDirectoryName(FILE_REFERENCE directory, FILE_REFERENCE& parent) {
    // Locating the record beyond the MFT's data is a failure of its own.
    if (directory.recordNumber() >= mft_.recordCapacity()) {
        throw ErrorException(kErrEndOfFile, "FileZ::getSectorOfNextCluster <End of file>");
    }
    FileZ dir;
    try {
        dir.openRecord(volume_, geometry_, &mft_, directory.recordNumber());
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

DIRECTORY_INFO FilesystemNTFS::getDirectoryInfo(FILE_REFERENCE directory) {
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

    std::string path = name + "\\";
    std::set<std::uint64_t> visited{directory.recordNumber()};
    FILE_REFERENCE current = parent;
    int depth = 0;
    while (current.recordNumber() != kRootDirectory) {
        const std::uint64_t n = current.recordNumber();
        if (visited.count(n) != 0 || ++depth > kMaxDirectoryDepth) {
            // The chain loops (or never ends): show where it closed.
            path = placeholderDir(current) + "\\" + path;
            break;
        }
        visited.insert(n);
        auto c = cache_.find(current.raw());
        if (c != cache_.end()) {
            path = c->second.name + "\\" + path;
            current = c->second.parent;
            continue;
        }
        FILE_REFERENCE next;
        try {
            std::string dirName = getDirectoryName(current, next);
            cache_.emplace(current.raw(), DIRECTORY_INFO(std::string(), dirName, next));
            path = dirName + "\\" + path;
            current = next;
        } catch (const ErrorException&) {
            std::string missing = placeholderNotFound(n);
            cache_.emplace(current.raw(), DIRECTORY_INFO(std::string(), missing, FILE_REFERENCE(0)));
            path = missing + "\\" + path;
            break;
        }
    }
    cache_[key].path = path;
    return DIRECTORY_INFO(path, name, parent);
}

std::string FilesystemNTFS::getDirectoryPath(const FileZ& file) {
    return getDirectoryInfo(file.getDirectoryReference()).path;
}

} // namespace resurgo
