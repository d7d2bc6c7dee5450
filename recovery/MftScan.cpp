#include "recovery/MftScan.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <iterator>
#include <optional>
#include <thread>
#include <utility>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "file/WildcardMatcher.h"
#include "ntfs/RecordClusters.h"
#include "recovery/DirectoryPaths.h"
#include "recovery/LiveRecords.h"
#include "recovery/ProgressSink.h"

namespace resurgo {

namespace {

// Cheap test on a raw record of what the walk keeps: a base record
// ("FILE", no base reference) that is neither in use nor a directory.
// Everything else would be discarded after opening anyway.
bool mayBeDeletedFile(const std::uint8_t* rec, std::size_t length) {
    if (length < MFT_RECORD::kHeaderBytes31 || std::memcmp(rec + MFT_RECORD::kSignature, "FILE", 4) != 0) return false;
    const ByteReader r(rec, length, kErrRecordFormat, "FilesystemNTFS::mayBeDeletedFile");
    if ((r.u16(MFT_RECORD::kFlags) & (MFT_RECORD::kFlagInUse | MFT_RECORD::kFlagDirectory)) != 0) return false;
    return r.u64(MFT_RECORD::kBaseReference) == 0;
}

// The file a record in use belongs to (its base record: extension records
// hold runs of their base file), or nothing for any other record.
std::optional<std::uint64_t> liveOwner(const std::uint8_t* rec, std::size_t length, std::uint64_t record) {
    if (length < MFT_RECORD::kHeaderBytes31 || std::memcmp(rec + MFT_RECORD::kSignature, "FILE", 4) != 0) return {};
    const ByteReader r(rec, length, kErrRecordFormat, "FilesystemNTFS::liveOwner");
    if ((r.u16(MFT_RECORD::kFlags) & MFT_RECORD::kFlagInUse) == 0) return {};
    const std::uint64_t base = FILE_REFERENCE(r.u64(MFT_RECORD::kBaseReference)).recordNumber();
    return base != 0 ? base : record;
}

// The first record of a file the user made: 0-15 are the volume's own
// files, 16-23 kept for them.
constexpr std::uint64_t kFirstUserRecord = 24;

// Whether the volume itself holds the file open in file (the same record
// in use, with the same sequence number and name).
bool heldByVolume(const LiveRecords& live, const FileZ& file, std::uint64_t record) {
    return live.holds(record, file.records().front().sequenceNumber, file.getName());
}

} // namespace

MftScan::MftScan(const VolumeAccess& volume, DirectoryPaths& paths) : vol_(volume), paths_(paths) {}
MftScan::~MftScan() = default;

void MftScan::run(const SEARCH_FILTER& filter, const SEARCH_CONTEXT& context, std::vector<FOUND_FILE>& results) {
    results_ = &results;
    less_ = LESS_RECOVERABLE();
    gaps_ = MFT_GAPS();
    base_ = results.size();
    stopped_ = false;
    named_.clear();
    ProgressSink* sink = context.progress;
    if (sink) sink->setPosition(0);

    const std::uint64_t total = vol_.mft.getRealSize();
    if (total == 0) {
        if (sink) sink->setPosition(100);
        return;
    }
    const std::uint32_t recordSize = vol_.geometry.mftRecordSize;
    // The MFT can't hold more records than the source has room for,
    // whatever its runs claim: a damaged run list must not make the walk
    // try billions of records past the end.
    const std::uint64_t capacity =
        vol_.volume.sizeBytes == 0 ? vol_.mft.recordCapacity()
                                   : std::min<std::uint64_t>(vol_.mft.recordCapacity(), vol_.volume.sizeBytes / recordSize);
    const std::uint64_t chunkRecords = std::max<std::uint64_t>(1, kScanChunkBytes / recordSize);

    ScanShared shared;
    shared.filter = &filter;
    shared.cancel = context.cancel;
    shared.pattern = WildcardMatcher::foldPattern(filter.pattern);
    shared.matchAll = shared.pattern.find_first_not_of(U'*') == std::u32string::npos && !shared.pattern.empty();
    shared.now = platform().currentUtc();
    shared.capacity = capacity;
    shared.chunkRecords = chunkRecords;
    shared.slots.resize(static_cast<std::size_t>((capacity + chunkRecords - 1) / chunkRecords));

    const std::vector<std::exception_ptr> failures = walkAll(shared, sink);
    try {
        for (auto& f : failures) {
            if (f) std::rethrow_exception(f);
        }
        finish(shared, total, sink);
    } catch (...) {
        results_->resize(base_);
        throw;
    }
    if (sink != nullptr && !shared.isCancelled()) sink->setPosition(100);
}

std::vector<std::exception_ptr> MftScan::walkAll(ScanShared& shared, ProgressSink* sink) {
    // Records are parsed on up to kScanThreads threads, chunk by chunk.
    // This thread walks too and, between its chunks, moves the finds of
    // the chunks done, in order, to the results: directories are named
    // here alone, through the cache.
    const std::uint64_t chunkCount = shared.slots.size();
    const unsigned hardware = std::thread::hardware_concurrency();
    const unsigned threads =
        static_cast<unsigned>(std::min<std::uint64_t>({chunkCount, hardware == 0 ? 1u : hardware, kScanThreads}));
    shared.helpersLeft = threads == 0 ? 0 : threads - 1;
    std::vector<std::thread> helpers;
    std::vector<std::exception_ptr> failures(std::max(threads, 1u));
    auto stopAll = [&shared] {
        std::lock_guard<std::mutex> guard(shared.lock);
        shared.stop.store(true);
        shared.changed.notify_all();
    };
    for (unsigned t = 1; t < threads; ++t) {
        helpers.emplace_back([this, &shared, &failures, &stopAll, t] {
            try {
                walkChunks(shared);
            } catch (...) {
                failures[t] = std::current_exception();
                stopAll();
            }
            std::lock_guard<std::mutex> guard(shared.lock);
            --shared.helpersLeft;
            shared.changed.notify_all();
        });
    }
    try {
        Walker walker;
        while (walkChunk(shared, walker, sink, false)) commitSlots(shared, false, false);
        // The others' last chunks, named as they come.
        for (;;) {
            commitSlots(shared, false, false);
            std::unique_lock<std::mutex> guard(shared.lock);
            if (shared.helpersLeft == 0 || shared.stop.load() || shared.isCancelled()) break;
            if (shared.committed < shared.slots.size() && shared.slots[shared.committed].done) continue;
            shared.changed.wait(guard);
        }
    } catch (...) {
        failures[0] = std::current_exception();
    }
    // No chunk is taken from here on (after a cancel or a failure; else
    // every chunk was).
    stopAll();
    for (auto& h : helpers) h.join();
    return failures;
}

void MftScan::finish(ScanShared& shared, std::uint64_t total, ProgressSink* sink) {
    older_ = OLDER_MATCHES();
    older_.nowUtc = shared.now;
    for (const auto& slot : shared.slots) {
        older_.add(slot.older);
        gaps_.addUnreadable(slot.gaps);
    }
    noteRepeated(shared.capacity);
    // Only this thread reports progress, and its last chunk may end
    // before the others' do: report where the whole walk got to.
    const std::uint64_t step = total / kWalkProgress;
    if (sink != nullptr && step != 0 && !shared.isCancelled()) {
        sink->setPosition(static_cast<int>(std::min<std::uint64_t>(
            shared.walkedRecords.load() * vol_.geometry.mftRecordSize / step, kWalkProgress)));
    }
    // A cancel during the walk keeps the records walked before it: the
    // chunk it interrupted is the last one taken. Naming directories
    // reads their records, so a cancel that comes after the walk is
    // looked at once per result, and what was named before it is kept.
    const bool cancelledInWalk = shared.isCancelled();
    commitSlots(shared, true, !cancelledInWalk);
    measureRecoverable(shared);
}

void MftScan::noteRepeated(std::uint64_t capacity) {
    const std::uint64_t clusterBytes = vol_.geometry.clusterBytes();
    const std::uint32_t recordSize = vol_.geometry.mftRecordSize;
    if (clusterBytes == 0 || recordSize == 0) return;
    for (const MftRunTable::Run& r : vol_.mft.runTable().repeated()) {
        // The records wholly or partly inside the clusters, below the
        // records the walk looked at.
        if (r.vcn > UINT64_MAX / clusterBytes || r.length > UINT64_MAX / clusterBytes - r.vcn) continue;
        const std::uint64_t first = r.vcn * clusterBytes / recordSize;
        const std::uint64_t end = std::min(capacity, ((r.vcn + r.length) * clusterBytes + recordSize - 1) / recordSize);
        if (first >= end) continue;
        const std::uint64_t offset = r.lcn <= UINT64_MAX / clusterBytes ? r.lcn * clusterBytes : UINT64_MAX;
        gaps_.repeated.push_back(MFT_GAPS::Range{first, end - first, offset});
    }
}

void MftScan::commitSlots(ScanShared& shared, bool finishing, bool checkEach) {
    for (;;) {
        std::size_t index = 0;
        bool done = false;
        {
            std::lock_guard<std::mutex> guard(shared.lock);
            if (shared.committed >= shared.slots.size()) return;
            index = static_cast<std::size_t>(shared.committed);
            done = shared.slots[index].done;
        }
        // While the walk goes on, a slot is touched only once it is done.
        if (!finishing && (!done || (!stopped_ && shared.isCancelled()))) return;
        ScanSlot& slot = shared.slots[index];
        if (stopped_) {
            // A cancel stopped the naming: what is left is dropped.
            std::vector<ScanCandidate>().swap(slot.found);
        } else if (finishing) {
            if (!commitSlot(shared, index, checkEach)) stopped_ = true;
            // After a cancel in the walk, the chunk it interrupted (or the
            // first one nobody took) is the last one kept.
            if (!done) stopped_ = true;
        } else {
            // A cancel that comes while a slot's directories are named
            // (they are read from the volume, which may be slow) keeps
            // what was named before it.
            if (!commitSlot(shared, index, true)) stopped_ = true;
        }
        std::lock_guard<std::mutex> guard(shared.lock);
        ++shared.committed;
        shared.changed.notify_all();
    }
}

bool MftScan::commitSlot(ScanShared& shared, std::size_t index, bool checkEach) {
    ScanSlot& slot = shared.slots[index];
    DirectoryPaths& paths = paths_;
    reserveFor(shared, index, slot.found.size());
    bool whole = true;
    for (ScanCandidate& c : slot.found) {
        if (checkEach && shared.isCancelled()) {
            whole = false;
            break;
        }
        const std::uint64_t parent = c.parent.raw();
        auto known = named_.find(parent);
        if (known == named_.end()) {
            // Each directory's path is built once and stays in the cache
            // (its map nodes stay where they are).
            try {
                auto cached = paths.cache().find(parent);
                if (cached == paths.cache().end() || cached->second.path.empty()) {
                    paths.getDirectoryInfo(c.parent);
                    cached = paths.cache().find(parent);
                }
                known = named_.emplace(parent, &cached->second).first;
            } catch (const ErrorException&) {
                continue;  // a record whose directory can't be named is skipped
            }
        }
        results_->push_back(std::move(c.found));
        results_->back().directory = known->second->path;
        results_->back().directoryNames = known->second->names;
    }
    std::vector<ScanCandidate>().swap(slot.found);
    return whole;
}

void MftScan::reserveFor(const ScanShared& shared, std::size_t index, std::size_t more) {
    std::vector<FOUND_FILE>& results = *results_;
    const std::size_t needed = results.size() + more;
    if (needed <= results.capacity()) return;
    std::size_t room = std::max(needed, results.capacity() + results.capacity() / 2);
    // Once a sixteenth of the MFT is behind, its yield tells how many
    // results the rest will bring, give or take: room is made for a tenth
    // more (pages never written cost no memory), so that the results are
    // not moved again near the end, when moving them costs the most.
    const std::size_t slots = shared.slots.size();
    if ((index + 1) * 16 >= slots) {
        const std::size_t found = needed - base_;
        const double projected = static_cast<double>(found) * static_cast<double>(slots) / static_cast<double>(index + 1);
        room = std::max(room, base_ + static_cast<std::size_t>(projected * 1.1));
    }
    results.reserve(room);
}

void MftScan::measureRecoverable(ScanShared& shared) {
    Recoverability pass(vol_);
    pass.knowLiveClaims();
    for (auto& slot : shared.slots) pass.take(slot.claims);
    pass.apply(*results_, base_);
    const std::int32_t least = shared.filter->minRecoverable;
    if (least <= 0) return;
    results_->erase(std::remove_if(results_->begin() + static_cast<std::ptrdiff_t>(base_), results_->end(),
                                   [this, least](const FOUND_FILE& f) {
                                       if (f.recoverable >= least) return false;
                                       less_.add(f.recoverable);
                                       return true;
                                   }),
                    results_->end());
}

void MftScan::walkChunks(ScanShared& shared) {
    Walker walker;
    while (walkChunk(shared, walker, nullptr, true)) {
    }
}

bool MftScan::walkChunk(ScanShared& shared, Walker& w, ProgressSink* sink, bool wait) {
    const std::uint32_t recordSize = vol_.geometry.mftRecordSize;
    const std::uint64_t step = vol_.mft.getRealSize() / kWalkProgress;
    if (w.chunk == nullptr) {
        w.storage.resize(static_cast<std::size_t>(shared.chunkRecords * recordSize) + kChunkAlignment);
        const auto address = reinterpret_cast<std::uintptr_t>(w.storage.data());
        w.chunk = w.storage.data() + (kChunkAlignment - address % kChunkAlignment) % kChunkAlignment;
    }
    const std::uint64_t index = takeChunk(shared, wait);
    if (index >= shared.slots.size() || shared.stop.load() || shared.isCancelled()) return false;
    const std::uint64_t first = index * shared.chunkRecords;
    const std::uint64_t count = std::min(shared.chunkRecords, shared.capacity - first);
    ScanSlot& slot = shared.slots[static_cast<std::size_t>(index)];
    readChunk(w, first, count);

    for (std::uint64_t k = 0; k < count; ++k) {
        if (shared.isCancelled()) {
            publish(w, slot);  // this chunk stays unfinished
            return false;
        }
        if (sink != nullptr && step != 0) {
            // Positions on the walk's share of the sink's scale; the MFT's
            // runs may reach past its real size (allocated clusters at the
            // end).
            const std::uint64_t walked = (shared.walkedRecords.load() + k + 1) * recordSize;
            const int position = static_cast<int>(std::min<std::uint64_t>(walked / step, kWalkProgress));
            if (position > w.lastPosition) {
                sink->setPosition(position);
                w.lastPosition = position;
            }
        }
        if (w.readable[static_cast<std::size_t>(k)]) walkRecord(shared, w, w.chunk + k * recordSize, first + k);
    }
    publish(w, slot);
    shared.walkedRecords.fetch_add(count);
    std::lock_guard<std::mutex> guard(shared.lock);
    slot.done = true;
    shared.changed.notify_all();
    return true;
}

std::uint64_t MftScan::takeChunk(ScanShared& shared, bool wait) {
    if (!wait) return shared.nextChunk.fetch_add(1);
    std::unique_lock<std::mutex> guard(shared.lock);
    shared.changed.wait(guard, [&shared] {
        return shared.stop.load() || shared.isCancelled() || shared.nextChunk.load() >= shared.slots.size() ||
               shared.nextChunk.load() < shared.committed + kWalkAhead;
    });
    return shared.nextChunk.fetch_add(1);
}

void MftScan::publish(Walker& w, ScanSlot& slot) {
    slot.found.swap(w.found);
    w.found.clear();
    w.found.reserve(slot.found.size());
    slot.claims = std::move(w.claims);
    w.claims = Recoverability::Batch();
    slot.older = w.older;
    w.older = OLDER_MATCHES();
    slot.gaps = std::move(w.gaps);
    w.gaps = MFT_GAPS();
}

void MftScan::readChunk(Walker& w, std::uint64_t first, std::uint64_t count) {
    const std::uint32_t recordSize = vol_.geometry.mftRecordSize;
    // One large read per chunk; if it fails, read record by record so
    // that only the unreadable records are lost.
    w.readable.assign(static_cast<std::size_t>(count), true);
    try {
        vol_.mft.readRecords(first, count, w.chunk);
    } catch (const ErrorException& e) {
        if (e.code() == kErrEndOfFile) throw;
        for (std::uint64_t k = 0; k < count; ++k) {
            try {
                vol_.mft.readRecords(first + k, 1, w.chunk + k * recordSize);
            } catch (const ErrorException&) {
                w.readable[static_cast<std::size_t>(k)] = false;
                std::uint64_t offset = 0;
                try {
                    offset = vol_.mft.getSectorOfRecord(first + k) * vol_.geometry.bytesPerSector;
                } catch (const ErrorException&) {
                }
                w.gaps.addUnreadable(first + k, offset);
            }
        }
    }
}

void MftScan::walkRecord(const ScanShared& shared, Walker& w, std::uint8_t* raw, std::uint64_t record) {
    const std::uint32_t recordSize = vol_.geometry.mftRecordSize;
    const std::uint64_t clusterBytes = vol_.geometry.clusterBytes();
    if (const std::optional<std::uint64_t> live = liveOwner(raw, recordSize, record)) {
        const bool held = shared.filter->live != nullptr && *live == record;
        if (held) w.held.assign(raw, raw + recordSize);
        // What files in use claim overwrites deleted files' data.
        try {
            w.liveRuns.clear();
            RecordClusters::append(raw, recordSize, vol_.geometry.totalClusters, w.liveRuns);
            w.claims.addLive(*live, w.liveRuns);
        } catch (const ErrorException&) {
            // A damaged record in use: its runs can't be told.
        }
        if (held) takeHeldFile(shared, w, record);
        return;
    }
    if (!mayBeDeletedFile(raw, recordSize)) return;
    FileZ& file = w.file;
    // The fixup repairs the record in place, in the chunk's copy.
    try {
        file.openFromBytes(raw, recordSize, vol_.volume, vol_.geometry, &vol_.mft, vol_.mft.getSectorOfRecord(record),
                           record, false);
    } catch (const ErrorException& e) {
        // A record whose deletion took its last name is no result,
        // but its clusters were still written after older files'.
        if (e.code() == kErrNoFileName) w.claims.add(file, record, clusterBytes);
        return;  // a free or damaged record
    }
    if (file.isDirectory() || !file.isDeleted()) return;
    // Every deleted file claims its clusters, whatever the filter.
    const std::uint32_t owner = w.claims.add(file, record, clusterBytes);
    const bool oneRecord = shared.filter->record.has_value();
    if (oneRecord && record != *shared.filter->record) return;
    // A shadow copy's deleted file that the volume holds in use again is
    // no deleted file.
    if (shared.filter->live != nullptr && heldByVolume(*shared.filter->live, file, record)) return;
    // A record whose name, times or size can't be read is skipped;
    // the walk goes on.
    try {
        if (takeCandidate(shared, w, record, oneRecord)) w.claims.want(owner);
    } catch (const ErrorException&) {
    }
}

void MftScan::takeHeldFile(const ScanShared& shared, Walker& w, std::uint64_t record) {
    std::uint8_t* raw = w.held.data();
    const std::size_t length = w.held.size();
    // System files and directories are not listed; nor are files the
    // volume still holds.
    if (record < kFirstUserRecord || length < MFT_RECORD::kHeaderBytes31) return;
    const ByteReader r(raw, length, kErrRecordFormat, "MftScan::takeHeldFile");
    if ((r.u16(MFT_RECORD::kFlags) & MFT_RECORD::kFlagDirectory) != 0) return;
    FileZ& file = w.file;
    try {
        file.openFromBytes(raw, length, vol_.volume, vol_.geometry, &vol_.mft, vol_.mft.getSectorOfRecord(record), record,
                           false);
        if (heldByVolume(*shared.filter->live, file, record)) return;
        takeCandidate(shared, w, record, shared.filter->record.has_value());
    } catch (const ErrorException&) {
        // A record whose name, times or size can't be read is skipped.
    }
}

bool MftScan::takeCandidate(const ScanShared& shared, Walker& w, std::uint64_t record, bool oneRecord) {
    const FileZ& file = w.file;
    std::string name = file.getName();
    if (!oneRecord && !shared.matchAll && !WildcardMatcher::match(shared.pattern, name)) return false;
    // Local times are worked out when a result is shown.
    FILE_TIME modified = FILE_TIME::fromUtc(file.modificationTimeUtc());
    FILE_TIME created = FILE_TIME::fromUtc(file.creationTimeUtc());
    const std::int32_t days = shared.filter->days;
    if (!oneRecord && !modified.isWithinDays(days, shared.now) && !created.isWithinDays(days, shared.now)) {
        w.older.add(std::max(modified.utc(), created.utc()));
        return false;
    }
    const std::uint64_t size = file.getRealSize();
    const std::uint64_t firstSector = file.firstSector();
    const FILE_TIME accessed = FILE_TIME::fromUtc(file.accessTimeUtc());
    const FILE_REFERENCE parent = file.getDirectoryReference();
    ScanCandidate& c = w.found.emplace_back();
    c.found = FOUND_FILE(record, firstSector, std::move(name));
    c.found.size = size;
    c.found.offset = firstSector * vol_.geometry.bytesPerSector;
    c.found.lastModificationTime = modified;
    c.found.creationTime = created;
    c.found.lastAccessTime = accessed;
    c.parent = parent;
    return true;
}

} // namespace resurgo
