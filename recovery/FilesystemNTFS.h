#pragma once
// The recovery engine's view of one NTFS volume: the open volume, its
// geometry, the MFT's own entry, the directory cache and the results of
// the last search. Searches and restores bracket their work with open and
// close.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "file/FileZ.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "platform/Platform.h"
#include "recovery/DIRECTORY_INFO.h"
#include "recovery/FOUND_FILE.h"
#include "recovery/RESTORE_RESULT.h"
#include "recovery/SEARCH_CONTEXT.h"
#include "recovery/SEARCH_FILTER.h"
#include "volume/Volume.h"

namespace resurgo {

struct DATA_ATTRIBUTE;
class ProgressSink;

class FilesystemNTFS {
public:
    static constexpr std::uint64_t kRootDirectory = 5;
    // Longest parent chain followed before the ascent gives up.
    static constexpr int kMaxDirectoryDepth = 1024;
    // Bytes read from the MFT per request while scanning.
    static constexpr std::size_t kScanChunkBytes = 256 << 10;
    // Bytes per read and write while copying runs.
    static constexpr std::size_t kCopyChunkBytes = 1 << 20;
    // Threads that parse MFT chunks during a search.
    static constexpr std::uint64_t kScanThreads = 4;
    // Results from which collecting them is worth more threads.
    static constexpr std::size_t kParallelCollect = 8192;

    FilesystemNTFS();
    virtual ~FilesystemNTFS();
    FilesystemNTFS(const FilesystemNTFS&) = delete;
    FilesystemNTFS& operator=(const FilesystemNTFS&) = delete;

    // Opens the volume and the MFT's own entry (from the mirror when the
    // MFT's first record fails). Empties the directory cache: its record
    // numbers belong to the volume last opened.
    void open(NTFS_GEOMETRY& geometry);
    void close();
    bool isOpen() const { return volume_.isOpen(); }

    // Results of the last search.
    std::size_t resultCount() const { return results_.size(); }
    const FOUND_FILE& result(std::size_t i) const { return results_.at(i); }
    const std::vector<FOUND_FILE>& results() const { return results_; }
    void appendResult(FOUND_FILE f) { results_.push_back(std::move(f)); }
    void clearResults() { results_.clear(); }

    Volume& volume() { return volume_; }
    const NTFS_GEOMETRY& geometry() const { return geometry_; }
    FileZ& mftEntry() { return mft_; }

    // The deleted-file walk over the whole MFT.
    void findFiles(const SEARCH_FILTER& filter, const SEARCH_CONTEXT& context);

    // Directory paths.
    std::string getDirectoryPath(const FileZ& file);
    DIRECTORY_INFO getDirectoryInfo(const FILE_REFERENCE& directory);
    std::string getDirectoryName(const FILE_REFERENCE& directory, FILE_REFERENCE& parent);
    std::size_t directoryCacheSize() const { return cache_.size(); }

    // Restore.
    OsHandle openOutputFile(const std::string& path);
    // Writes the file's unnamed data to out and cuts it to the real size.
    RESTORE_RESULT copyFileZ(const FileZ& file, OsHandle out);
    // LZNT1: decodes one compression unit; returns the bytes produced, 0
    // for a malformed unit. Never reads or writes outside the buffers.
    static std::uint32_t decompressUnit(std::uint8_t* out, std::size_t outLimit, const std::uint8_t* in,
                                        std::size_t inLength);

private:
    struct CopyState;
    // A found file waiting for its directory to be named.
    struct ScanCandidate {
        FOUND_FILE found;
        FILE_REFERENCE parent;
        const std::string* directory = nullptr;  // its path in the cache, once named
    };
    // What one chunk of the MFT yielded.
    struct ScanSlot {
        std::vector<ScanCandidate> found;
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
    void writeOut(OsHandle out, const std::uint8_t* data, std::size_t length, const char* diagnostic,
                  RESTORE_RESULT& result);
    void writeZeros(OsHandle out, std::uint64_t length, const char* diagnostic, RESTORE_RESULT& result);
    void copyRunToFile(std::uint64_t lcn, std::uint64_t clusters, std::uint64_t limitBytes, OsHandle out,
                       RESTORE_RESULT& result);
    void copyPlain(const std::vector<const DATA_ATTRIBUTE*>& extents, std::uint64_t dataSize,
                   std::uint64_t initializedSize, OsHandle out, RESTORE_RESULT& result);
    void copyCompressedFileZ(const std::vector<const DATA_ATTRIBUTE*>& extents, std::uint64_t dataSize,
                             std::uint64_t initializedSize, std::uint32_t unitClusters, OsHandle out,
                             RESTORE_RESULT& result);
    bool parentMatches(const FileZ& dir, const FILE_REFERENCE& reference) const;

    NTFS_GEOMETRY geometry_;
    FileZ mft_;
    Volume volume_;
    std::map<std::uint64_t, DIRECTORY_INFO> cache_;
    std::vector<FOUND_FILE> results_;
    std::vector<std::uint8_t> copyBuffer_;
};

} // namespace resurgo
