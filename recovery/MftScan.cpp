#include "recovery/MftScan.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <iterator>
#include <thread>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "file/WildcardMatcher.h"
#include "recovery/DirectoryPaths.h"
#include "recovery/FilesystemNTFS.h"
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

} // namespace

MftScan::MftScan(FilesystemNTFS& fs) : fs_(fs) {}
MftScan::~MftScan() = default;

void MftScan::run(const SEARCH_FILTER& filter, const SEARCH_CONTEXT& context, std::vector<FOUND_FILE>& results) {
    results_ = &results;
    less_ = LESS_RECOVERABLE();
    ProgressSink* sink = context.progress;
    if (sink) sink->setPosition(0);

    const std::uint64_t total = fs_.mftEntry().getRealSize();
    if (total == 0) return;
    const std::uint32_t recordSize = fs_.geometry().mftRecordSize;
    // The MFT can't hold more records than the source has room for,
    // whatever its runs claim: a damaged run list must not make the walk
    // try billions of records past the end.
    const std::uint64_t capacity =
        fs_.volume().sizeBytes == 0 ? fs_.mftEntry().recordCapacity()
                               : std::min<std::uint64_t>(fs_.mftEntry().recordCapacity(), fs_.volume().sizeBytes / recordSize);
    const std::uint64_t chunkRecords = std::max<std::uint64_t>(1, kScanChunkBytes / recordSize);
    const std::uint64_t chunkCount = (capacity + chunkRecords - 1) / chunkRecords;

    ScanShared shared;
    shared.filter = &filter;
    shared.cancel = context.cancel;
    shared.pattern = WildcardMatcher::foldPattern(filter.pattern);
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
    older_ = OLDER_MATCHES();
    older_.nowUtc = shared.now;
    for (const auto& slot : shared.slots) older_.add(slot.older);
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
    const std::size_t base = results_->size();
    std::size_t candidates = 0;
    for (const auto& slot : shared.slots) candidates += slot.found.size();
    std::thread sizer;
    std::exception_ptr sizeFailure;
    try {
        if (candidates >= kParallelCollect && threads > 1) {
            sizer = std::thread([this, base, candidates, &sizeFailure] {
                try {
                    results_->resize(base + candidates);
                } catch (...) {
                    sizeFailure = std::current_exception();
                }
            });
        } else {
            results_->resize(base + candidates);
        }
        const std::size_t kept = nameDirectories(shared, cancelledInWalk);
        if (sizer.joinable()) sizer.join();
        if (sizeFailure) std::rethrow_exception(sizeFailure);
        collectResults(shared, base, kept, threads);
        results_->resize(base + kept);
        measureRecoverable(shared, base);
    } catch (...) {
        if (sizer.joinable()) sizer.join();
        results_->resize(base);
        throw;
    }
    if (sink) sink->setPosition(0);
}

std::size_t MftScan::nameDirectories(ScanShared& shared, bool cancelledInWalk) {
    DirectoryPaths& paths = fs_.directories();
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
                auto cached = paths.cache().find(c.parent.raw());
                if (cached == paths.cache().end() || cached->second.path.empty()) {
                    paths.getDirectoryInfo(c.parent);
                    cached = paths.cache().find(c.parent.raw());
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

void MftScan::measureRecoverable(ScanShared& shared, std::size_t base) {
    Recoverability pass(fs_);
    for (auto& slot : shared.slots) pass.take(slot.claims);
    pass.apply(*results_, base);
    const std::int32_t least = shared.filter->minRecoverable;
    if (least <= 0) return;
    results_->erase(std::remove_if(results_->begin() + static_cast<std::ptrdiff_t>(base), results_->end(),
                                   [this, least](const FOUND_FILE& f) {
                                       if (f.recoverable >= least) return false;
                                       less_.add(f.recoverable);
                                       return true;
                                   }),
                    results_->end());
}

void MftScan::collectResults(ScanShared& shared, std::size_t base, std::size_t kept, unsigned threads) {
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
                    FOUND_FILE& r = (*results_)[out++];
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

void MftScan::scanChunks(ScanShared& shared, ProgressSink* sink) {
    const std::uint32_t recordSize = fs_.geometry().mftRecordSize;
    const std::uint64_t step = fs_.mftEntry().getRealSize() / 100;
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(shared.chunkRecords * recordSize));
    std::vector<bool> readable;
    // One entry object per thread: its record keeps its storage from one
    // candidate to the next.
    FileZ file;
    // A chunk's finds gather here and go to its slot in one allocation;
    // so do the clusters its deleted files claim.
    std::vector<ScanCandidate> found;
    Recoverability::Batch claims;
    const std::uint64_t clusterBytes = fs_.geometry().clusterBytes();
    OLDER_MATCHES older;
    auto publish = [&found, &claims, &older](ScanSlot& slot) {
        slot.found.reserve(found.size());
        std::move(found.begin(), found.end(), std::back_inserter(slot.found));
        found.clear();
        slot.claims = std::move(claims);
        claims = Recoverability::Batch();
        slot.older = older;
        older = OLDER_MATCHES();
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
            fs_.mftEntry().readRecords(first, count, chunk.data());
        } catch (const ErrorException& e) {
            if (e.code() == kErrEndOfFile) throw;
            for (std::uint64_t k = 0; k < count; ++k) {
                try {
                    fs_.mftEntry().readRecords(first + k, 1, chunk.data() + k * recordSize);
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
                file.openFromBytes(raw, recordSize, fs_.volume(), fs_.geometry(), &fs_.mftEntry(), fs_.mftEntry().sectorOfRecord(record), record,
                                   false);
            } catch (const ErrorException& e) {
                // A record whose deletion took its last name is no result,
                // but its clusters were still written after older files'.
                if (e.code() == kErrNoFileName) claims.add(file, record, clusterBytes);
                continue;  // a free or damaged record
            }
            if (file.isDirectory() || !file.isDeleted()) continue;
            // Every deleted file claims its clusters, whatever the filter.
            const std::uint32_t owner = claims.add(file, record, clusterBytes);
            const bool oneRecord = shared.filter->record.has_value();
            if (oneRecord && record != *shared.filter->record) continue;
            // A record whose name, times or size can't be read is skipped;
            // the walk goes on.
            try {
                std::string name = file.getName();
                if (!oneRecord && !shared.matchAll && !WildcardMatcher::match(shared.pattern, name)) continue;
                // Local times are worked out when a result is shown.
                FILE_TIME modified = FILE_TIME::fromUtc(file.modificationTimeUtc());
                FILE_TIME created = FILE_TIME::fromUtc(file.creationTimeUtc());
                const std::int32_t days = shared.filter->days;
                if (!oneRecord && !modified.isWithinDays(days, shared.now) && !created.isWithinDays(days, shared.now)) {
                    older.add(std::max(modified.utc(), created.utc()));
                    continue;
                }
                ScanCandidate c;
                c.found = FOUND_FILE(record, file.firstSector(), std::move(name));
                c.found.size = file.getRealSize();
                c.found.offset = file.firstSector() * fs_.geometry().bytesPerSector;
                c.found.lastModificationTime = modified;
                c.found.creationTime = created;
                c.found.lastAccessTime = FILE_TIME::fromUtc(file.accessTimeUtc());
                c.parent = file.getDirectoryReference();
                found.push_back(std::move(c));
                claims.want(owner);
            } catch (const ErrorException&) {
                continue;
            }
        }
        publish(slot);
        slot.done = true;
        shared.walkedRecords.fetch_add(count);
    }
}

} // namespace resurgo
