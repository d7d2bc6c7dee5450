#pragma once
// How much of each deleted file a search finds can still come back, in
// percent of its size. A byte is overwritten when a file claims its
// cluster: a file in use (any record in use, the metadata files too) or
// another deleted file modified later (that file was written there after
// this one was deleted). A cluster $Bitmap marks in use that no file
// claims (a delete that stopped half-way) still holds the file's bytes:
// they come back, and are counted apart as unowned. Where one file owns
// every overwritten cluster, it is named (FOUND_FILE::overwrittenBy).
// Sparse clusters, and bytes past the initialized size, are zeros and
// always come back; a compression unit comes back only when all of its
// clusters do; clusters no run covers, or past the end of a cut-off source,
// never do. Resident and empty files are 100 %.
//
// The search's threads note what every deleted file claims, and the runs
// of every record in use, one MFT chunk at a time (Batch), whether it is a
// result or not. Afterwards the claims of the deleted files are sorted by
// cluster and swept once: where claims overlap, the latest modified keeps
// the cluster; what is left is looked up in $Bitmap (record 6), read
// through its own runs a window at a time, only where a result has
// clusters, and the clusters in use are looked up in the live runs (sorted
// only when a result has clusters). The pass holds one entry per run of a
// deleted file's data, one per deleted file with runs and one per run of a
// record in use, not a map of the volume.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ntfs/RecordClusters.h"
#include "recovery/FOUND_FILE.h"

namespace resurgo {

class DataStream;
class FileZ;
class FilesystemNTFS;
class RUN_LIST;

class Recoverability {
public:
    // Percentage of a file that comes back whole.
    static constexpr std::uint8_t kWhole = 100;
    // Bytes of $Bitmap read per request (8 Mi clusters).
    static constexpr std::size_t kBitmapWindowBytes = 1 << 20;
    // $Bitmap's MFT record.
    static constexpr std::uint64_t kBitmapRecord = 6;
    static constexpr std::uint32_t kNoOwner = ~0u;
    // A live range claimed by more than one record.
    static constexpr std::uint64_t kSeveral = ~0ULL - 1;

    // A deleted file with clusters.
    struct Owner {
        std::uint64_t record = 0;
        std::uint64_t modified = 0;     // $STANDARD_INFORMATION modification time
        std::uint64_t size = 0;
        std::uint64_t initialized = 0;  // bytes past it read as zeros
        std::uint32_t unitClusters = 0; // clusters per compression unit; 0: not compressed
        bool wanted = false;            // a result: its percentage is worked out
        bool damaged = false;           // its runs can't be read: nothing comes back
        // The one file owning all its overwritten clusters so far
        // (FOUND_FILE::kNoRecord: none yet), unless several or none do.
        std::uint64_t overwrittenBy = FOUND_FILE::kNoRecord;
        bool unattributed = false;  // some lost clusters have no one owner
    };
    // Clusters of a run that an owner claims.
    struct Claim {
        std::uint64_t lcn = 0;
        std::uint64_t vcn = 0;
        std::uint64_t clusters = 0;
        std::uint32_t owner = 0;
    };
    // Clusters a record in use claims.
    struct Live {
        std::uint64_t lcn = 0;
        std::uint64_t clusters = 0;
        std::uint64_t record = 0;
    };
    // Clusters of an owner (by VCN) that don't come back (or, counted
    // apart, that are in use by no file).
    struct Lost {
        std::uint32_t owner = 0;
        std::uint64_t vcn = 0;
        std::uint64_t clusters = 0;
    };

    // A file known only from the records a scan of a whole source found:
    // what the attribute of its unnamed data's first extent states, and the
    // non-resident extents (first VCN, runs) of all its records.
    struct ScannedFile {
        struct Extent {
            std::int64_t vcn = 0;
            const RUN_LIST* runs = nullptr;
        };
        std::uint64_t record = 0;
        std::uint64_t modified = 0;  // $STANDARD_INFORMATION modification time
        std::uint64_t size = 0;
        std::uint64_t initialized = 0;
        std::uint16_t compressionUnit = 0;  // log2 of clusters; 0: not compressed
        bool resident = false;
        std::vector<Extent> extents;  // any order
    };

    // What the deleted files of one MFT chunk claim, in record order.
    struct Batch {
        std::vector<Owner> owners;
        std::vector<Claim> claims;
        std::vector<Lost> lost;
        std::vector<Live> live;

        // Notes the runs a record in use claims (RecordClusters).
        void addLive(std::uint64_t record, const std::vector<RecordClusters::Run>& runs) {
            for (const RecordClusters::Run& r : runs) live.push_back(Live{r.lcn, r.clusters, record});
        }
        // Notes the clusters of the unnamed data of file, the deleted file
        // of MFT record `record` (records are added in ascending order),
        // from all its extents. Returns its owner index, or kNoOwner when
        // it has no clusters (resident or empty data, or no data at all: it
        // is then 100 % or no result).
        std::uint32_t add(const FileZ& file, std::uint64_t record, std::uint64_t clusterBytes);
        // The same for a file a scan found; runs reaching past totalClusters
        // (when not 0) leave nothing of it, as the restore can't read them.
        std::uint32_t add(ScannedFile& file, std::uint64_t clusterBytes, std::uint64_t totalClusters);
        // The owner is a result.
        void want(std::uint32_t owner) {
            if (owner != kNoOwner) owners[owner].wanted = true;
        }
        void clear();

    private:
        // Notes owner and the clusters of its extents: forEachExtent(claim)
        // calls claim(first VCN, runs) for each non-resident extent in VCN
        // order.
        template <class ForEachExtent>
        std::uint32_t note(const Owner& owner, std::uint64_t clusterBytes, ForEachExtent&& forEachExtent);
    };

    explicit Recoverability(FilesystemNTFS& fs);
    virtual ~Recoverability();
    Recoverability(const Recoverability&) = delete;
    Recoverability& operator=(const Recoverability&) = delete;

    // Takes the batches in record order.
    void take(Batch& batch);
    // The batches hold the runs of every record in use (a walk of the whole
    // MFT): a cluster $Bitmap marks in use is then overwritten only where
    // one of them claims it. Without them (a deep scan, one file weighed
    // alone) every such cluster counts as overwritten.
    void knowLiveClaims() { liveKnown_ = true; }
    // Sweeps the claims and reads $Bitmap, then sets the recoverable
    // percentage of results[from...] (in record order).
    void apply(std::vector<FOUND_FILE>& results, std::size_t from);

    // floor(100 × part / whole), for any 64-bit sizes; kWhole when whole is 0.
    static std::uint8_t percent(std::uint64_t part, std::uint64_t whole);

private:
    void sweep();
    // Sorts the live runs by cluster and merges them into ranges that do
    // not overlap, each with its one record (kSeveral where records share).
    void mergeLive();
    // Calls lost(from, to, beyond) for each range of clusters in [from, to)
    // that $Bitmap marks in use, or (beyond) that lies past the end of the
    // source.
    template <class F>
    void forEachTaken(std::uint64_t from, std::uint64_t to, F&& lost);
    // Calls part(from, to, record) for the pieces of [from, to): record is
    // the file in use claiming them, FOUND_FILE::kNoRecord where none does.
    template <class F>
    void forEachLive(std::uint64_t from, std::uint64_t to, F&& part) const;
    // Bytes of the owner in the ranges (sorted by VCN), merged and, with
    // compression, widened to whole units, up to the initialized size.
    std::uint64_t bytesOf(std::uint32_t owner, const Lost* begin, const Lost* end) const;
    // Loads the window of $Bitmap holding cluster lcn; false when there is
    // no bitmap to read (then every cluster counts as free).
    bool loadWindow(std::uint64_t lcn);
    std::uint8_t percentOf(std::uint32_t owner, const Lost* begin, const Lost* end) const;

    FilesystemNTFS& fs_;
    std::uint64_t clusterBytes_ = 0;
    std::vector<Owner> owners_;
    std::vector<Claim> claims_;
    std::vector<Lost> lost_;
    std::vector<Lost> unowned_;
    std::vector<Live> live_;
    bool liveKnown_ = false;

    // $Bitmap, opened at the first look.
    bool bitmapTried_ = false;
    std::unique_ptr<FileZ> bitmapEntry_;
    std::unique_ptr<DataStream> bitmap_;
    std::vector<std::uint8_t> window_;
    std::uint64_t windowFirstByte_ = 0;
    std::size_t windowBytes_ = 0;
};

} // namespace resurgo
