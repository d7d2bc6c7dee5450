#pragma once
// The walk of a search over the whole MFT: the records are read in large
// chunks and parsed on several threads; as the chunks are done, this
// thread names the directories of their finds through the directory cache
// and appends them to the results, in record order, while the other
// threads walk on. What every deleted file claims, and the runs of every
// record in use, are noted on the way, and
// the results get their recoverable percentage from it afterwards
// (Recoverability).

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "file/FileZ.h"
#include "ntfs/FILE_REFERENCE.h"
#include "recovery/DIRECTORY_INFO.h"
#include "recovery/FOUND_FILE.h"
#include "recovery/LESS_RECOVERABLE.h"
#include "recovery/MFT_GAPS.h"
#include "recovery/OLDER_MATCHES.h"
#include "recovery/Recoverability.h"
#include "recovery/SEARCH_CONTEXT.h"
#include "recovery/SEARCH_FILTER.h"
#include "recovery/VolumeAccess.h"

namespace resurgo {

class DirectoryPaths;
class ProgressSink;

class MftScan {
public:
    // Bytes read from the MFT per request.
    static constexpr std::size_t kScanChunkBytes = 256 << 10;
    // Threads that parse MFT chunks.
    static constexpr std::uint64_t kScanThreads = 4;
    // Chunks the other threads may walk ahead of the last one whose finds
    // are in the results: the finds waiting for their directories stay few.
    static constexpr std::uint64_t kWalkAhead = 64;
    // Alignment of the buffer a chunk is read into.
    static constexpr std::size_t kChunkAlignment = 4096;
    // Share of the progress scale (0-100) that the walk takes; naming what
    // is left and the recoverable percentages take the rest.
    static constexpr int kWalkProgress = 95;

    // Walks the MFT of the open volume, naming directories through paths
    // (the cache, kept from one search to the next).
    MftScan(const VolumeAccess& volume, DirectoryPaths& paths);
    virtual ~MftScan();
    MftScan(const MftScan&) = delete;
    MftScan& operator=(const MftScan&) = delete;

    // Appends the deleted files that pass the filter to results, in record
    // order, with their recoverable percentage. A cancel keeps what was
    // found before it.
    void run(const SEARCH_FILTER& filter, const SEARCH_CONTEXT& context, std::vector<FOUND_FILE>& results);
    // After run: the files the age limit alone left out (of the records
    // walked).
    const OLDER_MATCHES& olderMatches() const { return older_; }
    // After run: the files the filter's least recoverable percentage alone
    // left out.
    const LESS_RECOVERABLE& lessRecoverable() const { return less_; }
    // After run: the records the walk could not read (of the chunks
    // walked), and the clusters the MFT's run list maps twice.
    const MFT_GAPS& gaps() const { return gaps_; }

private:
    // A found file waiting for its directory to be named.
    struct ScanCandidate {
        FOUND_FILE found;
        FILE_REFERENCE parent;
    };
    // What one chunk of the MFT yielded.
    struct ScanSlot {
        std::vector<ScanCandidate> found;
        Recoverability::Batch claims;
        // Matched the pattern, outside the age limit.
        OLDER_MATCHES older;
        MFT_GAPS gaps;
        bool done = false;  // under ScanShared::lock
    };
    // State shared by the threads of one search.
    struct ScanShared {
        const SEARCH_FILTER* filter = nullptr;
        const std::atomic<std::uint8_t>* cancel = nullptr;
        std::u32string pattern;
        bool matchAll = false;
        std::uint64_t now = 0;
        std::uint64_t capacity = 0;
        std::uint64_t chunkRecords = 0;
        std::vector<ScanSlot> slots;
        std::atomic<std::uint64_t> nextChunk{0};
        std::atomic<std::uint64_t> walkedRecords{0};
        std::atomic<bool> stop{false};
        // Chunks taken by the walking threads wait for this one.
        std::mutex lock;
        std::condition_variable changed;
        std::uint64_t committed = 0;  // slots whose finds are in the results
        unsigned helpersLeft = 0;     // other threads still walking
        bool isCancelled() const { return cancel != nullptr && cancel->load(std::memory_order_relaxed) == 1; }
    };
    // One thread's buffers for walking chunks.
    struct Walker {
        // The chunk's bytes start on a page boundary (kChunkAlignment)
        // inside storage: the kernel copies into an aligned buffer several
        // times faster.
        std::vector<std::uint8_t> storage;
        std::uint8_t* chunk = nullptr;
        std::vector<bool> readable;
        // Its record keeps its storage from one candidate to the next.
        FileZ file;
        // A chunk's finds gather here and go to its slot at once; so do
        // the clusters its deleted files claim.
        std::vector<ScanCandidate> found;
        Recoverability::Batch claims;
        // The runs of one record in use.
        std::vector<RecordClusters::Run> liveRuns;
        // A record in use kept as read (before its fixup), for a search of
        // a shadow copy that lists the files the volume no longer holds.
        std::vector<std::uint8_t> held;
        OLDER_MATCHES older;
        MFT_GAPS gaps;
        int lastPosition = 0;
    };
    // Walks the next chunk; false when none is left (or the walk stops).
    // Threads other than this one wait when they are kWalkAhead chunks
    // ahead of the results (wait).
    bool walkChunk(ScanShared& shared, Walker& walker, ProgressSink* sink, bool wait);
    // The other threads' loop.
    void walkChunks(ScanShared& shared);
    // Walks every chunk, on this thread and the others; the failure of
    // each thread, if any.
    std::vector<std::exception_ptr> walkAll(ScanShared& shared, ProgressSink* sink);
    // After the walk: the matches left out, the gaps, the naming of what
    // is left and the recoverable percentages.
    void finish(ScanShared& shared, std::uint64_t total, ProgressSink* sink);
    // The index of the next chunk to walk; with wait, once the walk is
    // less than kWalkAhead chunks ahead of the results.
    std::uint64_t takeChunk(ScanShared& shared, bool wait);
    // Hands what the walker gathered to the chunk's slot.
    static void publish(Walker& w, ScanSlot& slot);
    // Reads count records from first into the walker's chunk, noting
    // those that can't be read.
    void readChunk(Walker& w, std::uint64_t first, std::uint64_t count);
    // One record of a chunk: the runs of a record in use, or the claims of
    // a deleted file and, when it passes the filter, a find.
    void walkRecord(const ScanShared& shared, Walker& w, std::uint8_t* raw, std::uint64_t record);
    // The deleted file open in the walker as a find, when it passes the
    // filter (oneRecord: the filter names its record); raises when its
    // name, times or size can't be read.
    bool takeCandidate(const ScanShared& shared, Walker& w, std::uint64_t record, bool oneRecord);
    // In a shadow copy's walk (the filter's live records given): the file
    // of a base record in use in the copy, held in w.held, as a find when
    // the volume itself no longer holds it and it passes the filter.
    void takeHeldFile(const ScanShared& shared, Walker& w, std::uint64_t record);
    // Names the directories of the finds of the done slots from the first
    // not yet committed on, in order, and appends them to the results.
    // While the walk goes on, a cancel is looked at before each slot and
    // once per find: before a slot it leaves the rest to the finishing
    // call, within one it ends the naming there, keeping what was named.
    // Finishing, the finds of every slot walked are taken (a slot the
    // cancel interrupted last), unless the naming was ended; with
    // checkEach, a cancel is looked at once per find, and what was named
    // before it is kept.
    void commitSlots(ScanShared& shared, bool finishing, bool checkEach);
    // Appends the slot's finds whose directory can be named; false when a
    // cancel stopped it (checkEach).
    bool commitSlot(ScanShared& shared, std::size_t index, bool checkEach);
    // Makes room for more results, growing them by what the walk so far
    // promises rather than by doubling (each growth moves every result).
    void reserveFor(const ScanShared& shared, std::size_t index, std::size_t more);
    // Gives the results from index base_ on their recoverable percentage
    // from the slots' claims, and drops those below the filter's least
    // (noting them in less_).
    void measureRecoverable(ScanShared& shared);
    // Notes in gaps_ the records (below capacity) that the MFT's run list
    // maps onto clusters it mapped before.
    void noteRepeated(std::uint64_t capacity);

    VolumeAccess vol_;
    DirectoryPaths& paths_;
    std::vector<FOUND_FILE>* results_ = nullptr;
    std::size_t base_ = 0;
    bool stopped_ = false;  // a cancel stopped the naming
    OLDER_MATCHES older_;
    LESS_RECOVERABLE less_;
    MFT_GAPS gaps_;
    // The directory paths met, by raw reference (pointers into the cache).
    std::unordered_map<std::uint64_t, const DIRECTORY_INFO*> named_;
};

} // namespace resurgo
