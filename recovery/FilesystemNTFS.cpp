#include "recovery/FilesystemNTFS.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <iterator>
#include <set>
#include <thread>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "recovery/Lznt1.h"
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
    if (length < MFT_RECORD::kHeaderBytes31 || std::memcmp(rec + MFT_RECORD::kSignature, "FILE", 4) != 0) return false;
    const ByteReader r(rec, length, kErrRecordFormat, "FilesystemNTFS::mayBeDeletedFile");
    if ((r.u16(MFT_RECORD::kFlags) & (MFT_RECORD::kFlagInUse | MFT_RECORD::kFlagDirectory)) != 0) return false;
    return r.u64(MFT_RECORD::kBaseReference) == 0;
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
    if (sink) sink->setPosition(0);

    const std::uint64_t total = mft_.getRealSize();
    if (total == 0) return;
    const std::uint32_t recordSize = geometry_.mftRecordSize;
    // The MFT can't hold more records than the source has room for,
    // whatever its runs claim: a damaged run list must not make the walk
    // try billions of records past the end.
    const std::uint64_t capacity =
        volume_.sizeBytes == 0 ? mft_.recordCapacity()
                               : std::min<std::uint64_t>(mft_.recordCapacity(), volume_.sizeBytes / recordSize);
    const std::uint64_t chunkRecords = std::max<std::uint64_t>(1, kScanChunkBytes / recordSize);
    const std::uint64_t chunkCount = (capacity + chunkRecords - 1) / chunkRecords;

    ScanShared shared;
    shared.filter = &filter;
    shared.cancel = context.cancel;
    shared.pattern = FileZ::foldPattern(filter.pattern);
    shared.matchAll = shared.pattern.find_first_not_of(U'*') == std::u32string::npos && !shared.pattern.empty();
    shared.now = platform().currentUtc();
    shared.capacity = capacity;
    shared.chunkRecords = chunkRecords;
    shared.slots.resize(static_cast<std::size_t>(chunkCount));

    // Records are parsed on up to kScanThreads threads, chunk by chunk;
    // directories are then named here, in record order, through the cache.
    const unsigned hardware = std::thread::hardware_concurrency();
    const unsigned threads =
        static_cast<unsigned>(std::min<std::uint64_t>({chunkCount, hardware == 0 ? 1u : hardware, kScanThreads}));
    std::vector<std::thread> helpers;
    std::vector<std::exception_ptr> failures(threads);
    for (unsigned t = 1; t < threads; ++t) {
        helpers.emplace_back([this, &shared, &failures, t] {
            try {
                scanChunks(shared, nullptr);
            } catch (...) {
                failures[t] = std::current_exception();
                shared.stop.store(true);
            }
        });
    }
    try {
        scanChunks(shared, sink);
    } catch (...) {
        failures[0] = std::current_exception();
        shared.stop.store(true);
    }
    for (auto& h : helpers) h.join();
    for (auto& f : failures) {
        if (f) std::rethrow_exception(f);
    }
    // Only this thread reports progress, and its last chunk may end before
    // the others' do: report where the whole walk got to.
    const std::uint64_t step = total / 100;
    if (sink != nullptr && step != 0 && !shared.isCancelled()) {
        sink->setPosition(static_cast<int>(std::min<std::uint64_t>(shared.walkedRecords.load() * recordSize / step, 100)));
    }

    // A cancel during the walk keeps the records walked before it: the
    // chunk it interrupted is the last one taken. Naming directories reads
    // their records, so a cancel that comes then is looked at once per
    // result, and what was named before it is kept.
    const bool cancelledInWalk = shared.isCancelled();
    // Room for every candidate is made on another thread while directories
    // are named here (naming never touches the results); what naming
    // leaves out is cut off after collecting.
    const std::size_t base = results_.size();
    std::size_t candidates = 0;
    for (const auto& slot : shared.slots) candidates += slot.found.size();
    std::thread sizer;
    std::exception_ptr sizeFailure;
    try {
        if (candidates >= kParallelCollect && threads > 1) {
            sizer = std::thread([this, base, candidates, &sizeFailure] {
                try {
                    results_.resize(base + candidates);
                } catch (...) {
                    sizeFailure = std::current_exception();
                }
            });
        } else {
            results_.resize(base + candidates);
        }
        const std::size_t kept = nameDirectories(shared, cancelledInWalk);
        if (sizer.joinable()) sizer.join();
        if (sizeFailure) std::rethrow_exception(sizeFailure);
        collectResults(shared, base, kept, threads);
        results_.resize(base + kept);
    } catch (...) {
        if (sizer.joinable()) sizer.join();
        results_.resize(base);
        throw;
    }
    if (sink) sink->setPosition(0);
}

std::size_t FilesystemNTFS::nameDirectories(ScanShared& shared, bool cancelledInWalk) {
    // Each candidate gets its directory's path in the cache (map nodes
    // stay where they are, and a path once built is never rebuilt).
    // Slots past the last one kept are emptied.
    std::size_t kept = 0;
    bool stop = false;
    std::uint64_t lastParent = 0;
    const std::string* lastPath = nullptr;
    for (auto& slot : shared.slots) {
        if (stop) {
            std::vector<ScanCandidate>().swap(slot.found);
            continue;
        }
        for (std::size_t i = 0; i < slot.found.size(); ++i) {
            ScanCandidate& c = slot.found[i];
            if (!cancelledInWalk && shared.isCancelled()) {
                slot.found.resize(i);
                stop = true;
                break;
            }
            // Most results share their directory with the one before.
            if (lastPath != nullptr && c.parent.raw() == lastParent) {
                c.directory = lastPath;
                ++kept;
                continue;
            }
            try {
                auto cached = cache_.find(c.parent.raw());
                if (cached == cache_.end() || cached->second.path.empty()) {
                    getDirectoryInfo(c.parent);
                    cached = cache_.find(c.parent.raw());
                }
                c.directory = &cached->second.path;
            } catch (const ErrorException&) {
                continue;  // a record whose directory can't be named is skipped
            }
            lastParent = c.parent.raw();
            lastPath = c.directory;
            ++kept;
        }
        if (cancelledInWalk && !slot.done) stop = true;
    }
    return kept;
}

void FilesystemNTFS::collectResults(ScanShared& shared, std::size_t base, std::size_t kept, unsigned threads) {
    // Candidates move to the results in record order, slot by slot, each
    // slot to its own place: with many results, on several threads.
    std::vector<std::size_t> offsets(shared.slots.size());
    std::size_t at = base;
    for (std::size_t s = 0; s < shared.slots.size(); ++s) {
        offsets[s] = at;
        for (const auto& c : shared.slots[s].found) at += c.directory != nullptr ? 1 : 0;
    }
    const unsigned workers = kept >= kParallelCollect ? std::max(threads, 1u) : 1u;
    std::atomic<std::size_t> nextSlot{0};
    std::vector<std::exception_ptr> failures(workers);
    auto move = [&](unsigned t) {
        try {
            for (std::size_t s = nextSlot.fetch_add(1); s < shared.slots.size(); s = nextSlot.fetch_add(1)) {
                std::size_t out = offsets[s];
                for (auto& c : shared.slots[s].found) {
                    if (c.directory == nullptr) continue;
                    FOUND_FILE& r = results_[out++];
                    r = std::move(c.found);
                    r.directory = *c.directory;
                }
                std::vector<ScanCandidate>().swap(shared.slots[s].found);
            }
        } catch (...) {
            failures[t] = std::current_exception();
            nextSlot.store(shared.slots.size());
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < workers; ++t) helpers.emplace_back(move, t);
    move(0);
    for (auto& h : helpers) h.join();
    for (auto& f : failures) {
        if (f) std::rethrow_exception(f);
    }
}

void FilesystemNTFS::scanChunks(ScanShared& shared, ProgressSink* sink) {
    const std::uint32_t recordSize = geometry_.mftRecordSize;
    const std::uint64_t step = mft_.getRealSize() / 100;
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(shared.chunkRecords * recordSize));
    std::vector<bool> readable;
    // One entry object per thread: its record keeps its storage from one
    // candidate to the next.
    FileZ file;
    // A chunk's finds gather here and go to its slot in one allocation.
    std::vector<ScanCandidate> found;
    auto publish = [&found](ScanSlot& slot) {
        slot.found.reserve(found.size());
        std::move(found.begin(), found.end(), std::back_inserter(slot.found));
        found.clear();
    };
    int lastPosition = 0;

    for (;;) {
        const std::uint64_t index = shared.nextChunk.fetch_add(1);
        if (index >= shared.slots.size() || shared.stop.load() || shared.isCancelled()) return;
        const std::uint64_t first = index * shared.chunkRecords;
        const std::uint64_t count = std::min(shared.chunkRecords, shared.capacity - first);
        ScanSlot& slot = shared.slots[static_cast<std::size_t>(index)];

        // One large read per chunk; if it fails, read record by record so
        // that only the unreadable records are lost.
        readable.assign(static_cast<std::size_t>(count), true);
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
            if (shared.isCancelled()) {
                publish(slot);  // this chunk stays unfinished
                return;
            }
            const std::uint64_t record = first + k;
            if (sink != nullptr && step != 0) {
                // Positions on the sink's 0-100 scale; the MFT's runs may
                // reach past its real size (allocated clusters at the end).
                const std::uint64_t walked = (shared.walkedRecords.load() + k + 1) * recordSize;
                const int position = static_cast<int>(std::min<std::uint64_t>(walked / step, 100));
                if (position != lastPosition) {
                    sink->setPosition(position);
                    lastPosition = position;
                }
            }
            if (!readable[static_cast<std::size_t>(k)]) continue;
            std::uint8_t* raw = chunk.data() + k * recordSize;
            if (!mayBeDeletedFile(raw, recordSize)) continue;
            // The fixup repairs the record in place, in the chunk's copy.
            try {
                file.openFromBytes(raw, recordSize, volume_, geometry_, &mft_, mft_.sectorOfRecord(record), record,
                                   false);
            } catch (const ErrorException&) {
                continue;  // a free or damaged record
            }
            if (file.isDirectory() || !file.isDeleted()) continue;
            // A record whose name, times or size can't be read is skipped;
            // the walk goes on.
            try {
                std::string name = file.getName();
                if (!shared.matchAll && !FileZ::matchWildcard(shared.pattern, name)) continue;
                // Local times are worked out when a result is shown.
                FILE_TIME modified = FILE_TIME::fromUtc(file.modificationTimeUtc());
                FILE_TIME created = FILE_TIME::fromUtc(file.creationTimeUtc());
                const std::int32_t days = shared.filter->days;
                if (!modified.isWithinDays(days, shared.now) && !created.isWithinDays(days, shared.now)) continue;
                ScanCandidate c;
                c.found = FOUND_FILE(record, file.firstSector(), std::move(name));
                c.found.size = file.getRealSize();
                c.found.lastModificationTime = modified;
                c.found.creationTime = created;
                c.found.lastAccessTime = FILE_TIME::fromUtc(file.accessTimeUtc());
                c.parent = file.getDirectoryReference();
                found.push_back(std::move(c));
            } catch (const ErrorException&) {
                continue;
            }
        }
        publish(slot);
        slot.done = true;
        shared.walkedRecords.fetch_add(count);
    }
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

std::string FilesystemNTFS::getDirectoryName(const FILE_REFERENCE& directory, FILE_REFERENCE& parent) {
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

DIRECTORY_INFO FilesystemNTFS::getDirectoryInfo(const FILE_REFERENCE& directory) {
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


// ---------------------------------------------------------------------------
// Restore

namespace {

// The unnamed data's runs laid out by VCN, for the restore.
struct DataRun {
    std::uint64_t vcn;
    std::uint64_t length;
    std::uint64_t lcn;
    bool sparse;
};

std::vector<DataRun> layOutRuns(const std::vector<const DATA_ATTRIBUTE*>& extents) {
    std::vector<DataRun> runs;
    for (const DATA_ATTRIBUTE* d : extents) {
        if (!d->nonResident) continue;
        std::uint64_t vcn = static_cast<std::uint64_t>(d->startingVcn);
        for (const auto& r : d->runs) {
            if (r.length != 0) runs.push_back(DataRun{vcn, r.length, static_cast<std::uint64_t>(r.lcn), r.sparse});
            vcn += r.length;
        }
    }
    return runs;
}

} // namespace

// Writes the file's bytes in order, stopping at the data size and writing
// zeros past the initialized size.
struct FilesystemNTFS::CopyState {
    std::uint64_t position = 0;
    std::uint64_t dataSize = 0;
    std::uint64_t initializedSize = 0;
};

OsHandle FilesystemNTFS::openOutputFile(const std::string& path) {
    OsHandle h = platform().createOutput(path);
    if (h == kNoHandle) {
        std::uint32_t err = platform().lastError();
        throw ErrorException(kErrOpenOutput, err, "FilesystemNTFS::openOutputFile");
    }
    return h;
}

void FilesystemNTFS::writeOut(OsHandle out, const std::uint8_t* data, std::size_t length, const char* diagnostic,
                              RESTORE_RESULT& result) {
    while (length > 0) {
        std::size_t written = 0;
        if (!platform().writeOutput(out, data, length, written) || written == 0) {
            std::uint32_t err = platform().lastError();
            throw ErrorException(kErrWriteOutput, err, diagnostic);
        }
        data += written;
        length -= written;
        result.bytesWritten += written;
    }
}

void FilesystemNTFS::writeZeros(OsHandle out, std::uint64_t length, const char* diagnostic, RESTORE_RESULT& result) {
    if (copyBuffer_.size() < kCopyChunkBytes) copyBuffer_.assign(kCopyChunkBytes, 0);
    std::memset(copyBuffer_.data(), 0, std::min<std::uint64_t>(length, copyBuffer_.size()));
    while (length > 0) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, copyBuffer_.size()));
        writeOut(out, copyBuffer_.data(), n, diagnostic, result);
        length -= n;
    }
}

void FilesystemNTFS::copyRunToFile(std::uint64_t lcn, std::uint64_t clusters, std::uint64_t limitBytes, OsHandle out,
                                   RESTORE_RESULT& result) {
    const std::uint64_t cb = geometry_.clusterBytes();
    if (cb == 0 || lcn > UINT64_MAX / cb) throw ErrorException(kErrReadDisk, "Volume::read");
    std::uint64_t offset = lcn * cb;
    std::uint64_t remaining = std::min(clusters * cb, limitBytes);
    if (copyBuffer_.size() < kCopyChunkBytes) copyBuffer_.assign(kCopyChunkBytes, 0);
    // Raw devices take whole sectors only: a tail is read rounded up to the
    // sector (still inside the run's clusters) and written to its length.
    const std::uint64_t sector = geometry_.bytesPerSector ? geometry_.bytesPerSector : 512;
    while (remaining > 0) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, copyBuffer_.size()));
        std::size_t rounded = static_cast<std::size_t>((n + sector - 1) / sector * sector);
        volume_.readBytes(copyBuffer_.data(), rounded, offset, "Volume::read");
        writeOut(out, copyBuffer_.data(), n, "FilesystemNTFS::copyRunToFile", result);
        offset += n;
        remaining -= n;
    }
}

void FilesystemNTFS::copyPlain(const std::vector<const DATA_ATTRIBUTE*>& extents, std::uint64_t dataSize,
                               std::uint64_t initializedSize, OsHandle out, RESTORE_RESULT& result) {
    const std::uint64_t cb = geometry_.clusterBytes();
    std::uint64_t position = 0;  // bytes of the file written so far
    for (const DataRun& run : layOutRuns(extents)) {
        if (position >= dataSize) break;
        const std::uint64_t runStart = run.vcn * cb;
        if (runStart != position) {
            throw ErrorException(kErrRecordFormat, "FilesystemNTFS::copyFileZ <Data extent missing>");
        }
        const std::uint64_t runBytes = std::min(run.length * cb, dataSize - position);
        // Clusters past the initialized size hold stale bytes: zeros there.
        const std::uint64_t fromDisk =
            run.sparse ? 0 : (initializedSize > position ? std::min(runBytes, initializedSize - position) : 0);
        if (fromDisk > 0) copyRunToFile(run.lcn, run.length, fromDisk, out, result);
        if (runBytes > fromDisk) writeZeros(out, runBytes - fromDisk, "FilesystemNTFS::copySparceClusters", result);
        position += runBytes;
    }
    if (position < dataSize) {
        throw ErrorException(kErrRecordFormat, "FilesystemNTFS::copyFileZ <Data extent missing>");
    }
}

void FilesystemNTFS::copyCompressedFileZ(const std::vector<const DATA_ATTRIBUTE*>& extents, std::uint64_t dataSize,
                                         std::uint64_t initializedSize, std::uint32_t unitClusters, OsHandle out,
                                         RESTORE_RESULT& result) {
    const std::uint64_t cb = geometry_.clusterBytes();
    const std::uint64_t unitBytes = unitClusters * cb;
    const std::vector<DataRun> runs = layOutRuns(extents);
    std::vector<std::uint8_t> unit(static_cast<std::size_t>(unitBytes));
    std::vector<std::uint8_t> plain(static_cast<std::size_t>(unitBytes));
    std::size_t cursor = 0;  // first run that may still cover the current unit

    for (std::uint64_t position = 0; position < dataSize; position += unitBytes) {
        const std::uint64_t unitVcn = position / cb;
        const std::uint64_t unitEnd = unitVcn + unitClusters;
        const std::uint64_t emit = std::min(unitBytes, dataSize - position);
        // Gather the unit's clusters: data clusters in order, and whether
        // the unit has sparse clusters (then it is stored compressed).
        std::uint64_t dataClusters = 0;
        std::uint64_t sparseClusters = 0;
        bool dataAfterSparse = false;
        while (cursor < runs.size() && runs[cursor].vcn + runs[cursor].length <= unitVcn) ++cursor;
        std::uint64_t vcn = unitVcn;
        for (std::size_t i = cursor; i < runs.size() && vcn < unitEnd; ++i) {
            const DataRun& r = runs[i];
            if (r.vcn > vcn) break;  // a hole no extent covers
            std::uint64_t from = vcn - r.vcn;
            std::uint64_t take = std::min(r.length - from, unitEnd - vcn);
            if (r.sparse) {
                sparseClusters += take;
            } else {
                if (sparseClusters != 0) dataAfterSparse = true;
                const std::uint64_t lcn = r.lcn + from;
                if (lcn > UINT64_MAX / cb) throw ErrorException(kErrReadDisk, "Volume::readClusters");
                volume_.readBytes(unit.data() + dataClusters * cb, static_cast<std::size_t>(take * cb), lcn * cb,
                                  "Volume::readClusters");
                dataClusters += take;
            }
            vcn += take;
        }
        if (vcn < unitEnd && vcn * cb < dataSize) {
            throw ErrorException(kErrRecordFormat, "FilesystemNTFS::copyFileZ <Data extent missing>");
        }

        const std::uint8_t* bytes = nullptr;
        if (dataClusters == 0) {
            std::memset(plain.data(), 0, plain.size());  // a sparse unit
            bytes = plain.data();
        } else if (sparseClusters == 0 && vcn == unitEnd) {
            bytes = unit.data();  // stored uncompressed
        } else {
            std::memset(unit.data() + dataClusters * cb, 0, static_cast<std::size_t>((unitClusters - dataClusters) * cb));
            std::memset(plain.data(), 0, plain.size());
            std::uint32_t n = dataAfterSparse ? 0
                                              : decompressUnit(plain.data(), plain.size(), unit.data(),
                                                               static_cast<std::size_t>(dataClusters * cb));
            if (n == 0) ++result.damagedUnits;  // written as zeros, so later bytes keep their offsets
            bytes = plain.data();
        }
        // Past the initialized size the file reads as zeros.
        std::uint64_t keep = initializedSize > position ? std::min(emit, initializedSize - position) : 0;
        if (keep > 0) writeOut(out, bytes, static_cast<std::size_t>(keep), "FilesystemNTFS::copyRunToFile", result);
        if (emit > keep) writeZeros(out, emit - keep, "FilesystemNTFS::copySparceClusters", result);
    }
}

RESTORE_RESULT FilesystemNTFS::copyFileZ(const FileZ& file, OsHandle out) {
    RESTORE_RESULT result;
    const MFT_RECORD& base = file.records().front();
    std::vector<const DATA_ATTRIBUTE*> extents = file.dataExtents();
    if (extents.empty()) {
        if (!base.dataFound && !base.attributeListFound) {
            throw ErrorException(kErrRecordFormat,
                                 "FilesystemNTFS::copyFileZ <Data attribut not found and attribut list not found>");
        }
        throw ErrorException(kErrRecordFormat, "FilesystemNTFS::copyFileZ <Data attribut not found>");
    }
    const DATA_ATTRIBUTE* first = extents.front();
    if (!first->nonResident) {
        writeOut(out, first->value.data(), first->value.size(), "FilesystemNTFS::copyFileZ", result);
    } else {
        if (first->startingVcn != 0) {
            throw ErrorException(kErrRecordFormat, "FilesystemNTFS::copyFileZ <Data extent missing>");
        }
        const std::uint64_t dataSize = first->dataSize;
        const std::uint64_t initializedSize = std::min(first->initializedSize, dataSize);
        // Compression is a property of the stream (its attribute flags and
        // compression unit), whatever the standard information says.
        if (first->compressed && first->compressionUnit != 0 && first->compressionUnit <= 8) {
            copyCompressedFileZ(extents, dataSize, initializedSize, 1u << first->compressionUnit, out, result);
        } else {
            copyPlain(extents, dataSize, initializedSize, out, result);
        }
        if (!platform().setOutputSize(out, dataSize)) {
            std::uint32_t err = platform().lastError();
            throw ErrorException(kErrWriteOutput, err, "FilesystemNTFS::copyFileZ");
        }
    }
    // The restored file keeps its own modification and access times.
    platform().setOutputTimes(out, file.modificationTimeUtc(), file.accessTimeUtc());
    return result;
}

std::uint32_t FilesystemNTFS::decompressUnit(std::uint8_t* out, std::size_t outLimit, const std::uint8_t* in,
                                             std::size_t inLength) {
    return Lznt1::decompress(out, outLimit, in, inLength);
}

} // namespace resurgo
