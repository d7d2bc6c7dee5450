#pragma once
// The walk of a search over the whole MFT: the records are read in large
// chunks and parsed on several threads, the directories of the files kept
// are then named in record order through the directory cache, and the
// results are collected in record order. What every deleted file claims is
// noted on the way, and the results get their recoverable percentage from
// it afterwards (Recoverability).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/FILE_REFERENCE.h"
#include "recovery/FOUND_FILE.h"
#include "recovery/LESS_RECOVERABLE.h"
#include "recovery/OLDER_MATCHES.h"
#include "recovery/Recoverability.h"
#include "recovery/SEARCH_CONTEXT.h"
#include "recovery/SEARCH_FILTER.h"

namespace resurgo {

class FilesystemNTFS;
class ProgressSink;

class MftScan {
public:
    // Bytes read from the MFT per request.
    static constexpr std::size_t kScanChunkBytes = 256 << 10;
    // Threads that parse MFT chunks.
    static constexpr std::uint64_t kScanThreads = 4;
    // Results from which collecting them is worth more threads.
    static constexpr std::size_t kParallelCollect = 8192;

    // Walks the MFT of fs, which is open.
    explicit MftScan(FilesystemNTFS& fs);
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

private:
    // A found file waiting for its directory to be named.
    struct ScanCandidate {
        FOUND_FILE found;
        FILE_REFERENCE parent;
        const std::string* directory = nullptr;  // its path in the cache, once named
    };
    // What one chunk of the MFT yielded.
    struct ScanSlot {
        std::vector<ScanCandidate> found;
        Recoverability::Batch claims;
        // Matched the pattern, outside the age limit.
        OLDER_MATCHES older;
        bool done = false;
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
        bool isCancelled() const { return cancel != nullptr && cancel->load(std::memory_order_relaxed) == 1; }
    };
    void scanChunks(ScanShared& shared, ProgressSink* sink);
    // Names the candidates' directories in record order; returns how many
    // are kept (a cancel while naming keeps those named before it).
    std::size_t nameDirectories(ScanShared& shared, bool cancelledInWalk);
    // Moves the kept candidates to the results from index base on (the
    // results have room for them).
    void collectResults(ScanShared& shared, std::size_t base, std::size_t kept, unsigned threads);
    // Gives the results from index base on their recoverable percentage
    // from the slots' claims, and drops those below the filter's least
    // (noting them in less_).
    void measureRecoverable(ScanShared& shared, std::size_t base);

    FilesystemNTFS& fs_;
    std::vector<FOUND_FILE>* results_ = nullptr;
    OLDER_MATCHES older_;
    LESS_RECOVERABLE less_;
};

} // namespace resurgo
