#pragma once
// Turns what a scan of a whole source found into search results. Each
// record found is the current MFT's (where that MFT keeps its number: in
// use, a file the volume has, left out; free, a deleted file), a copy of
// a current one (the same number, sequence number and name: the mirror's,
// a shadow copy's, a block moved; never listed, nor is anything inside the
// mirror's clusters), or an older version of a reused number or a former
// volume's record (listed; copies of one version give way to the newest
// change time). A record that never held a file (no name and no data of
// any length) is not listed; names of records that lost theirs taken
// from their extension records or from directory indexes, and paths
// rebuilt from parent references. A parent is the found directory record
// of that number and sequence (a record found outside the current MFT never
// takes a directory the current volume uses); a directory whose record is
// gone is named by the index entries that name it; what can't be placed
// goes under "lost_files\dir_@N\". Record 5 is the root, found or not.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "ntfs/FILE_REFERENCE.h"
#include "recovery/DIRECTORY_INFO.h"
#include "recovery/DeepScan.h"
#include "recovery/FOUND_FILE.h"
#include "recovery/OLDER_MATCHES.h"
#include "recovery/Recoverability.h"
#include "recovery/SEARCH_FILTER.h"

namespace resurgo {

class DeepResults {
public:
    static constexpr const char* kLostFiles = "lost_files";
    // Records below this number are the volume's own files.
    static constexpr std::uint64_t kFirstUserRecord = 16;
    static constexpr std::uint64_t kExtendDirectory = 11;
    static constexpr std::uint64_t kRootDirectory = 5;
    static constexpr int kMaxDepth = 1024;

    // isCurrent(number, offset): the record found at offset is record
    // number of the current MFT (it lies where that MFT keeps it). The
    // cluster size and the volume's start place index blocks in the
    // allocations of the current volume's directories. found must outlive
    // this object.
    DeepResults(const DeepScan::Found& found, const std::function<bool(std::uint64_t, std::uint64_t)>& isCurrent,
                std::uint64_t clusterBytes, std::uint64_t volumeStart);
    // The source's bytes [begin, end) hold the MFT's mirror: copies only.
    void setMirror(std::uint64_t begin, std::uint64_t end) {
        mirrorBegin_ = begin;
        mirrorEnd_ = end;
    }
    // The geometry is a guess: results whose data lies in clusters say so.
    void setGuessedGeometry(bool guessed) { guessed_ = guessed; }
    virtual ~DeepResults();
    DeepResults(const DeepResults&) = delete;
    DeepResults& operator=(const DeepResults&) = delete;

    // Appends the files that pass the filter's pattern and days (now: the
    // current UTC time), in record order. firstSector counts bytesPerSector
    // units from volumeStart. extensions gets, for each result's offset, the
    // offsets of its extension records. claims, when given, gets the
    // clusters of every file that would be listed without the filter (in
    // record order; the results are wanted), for Recoverability; runs
    // reaching past totalClusters (when not 0) make a file's claim damaged.
    // older, when given, gets the files that matched the pattern but not
    // the days.
    void build(const SEARCH_FILTER& filter, std::uint64_t now, std::uint32_t bytesPerSector, std::uint64_t volumeStart,
               std::vector<FOUND_FILE>& out, std::map<std::uint64_t, std::vector<std::uint64_t>>& extensions,
               Recoverability::Batch* claims = nullptr, std::uint64_t totalClusters = 0,
               OLDER_MATCHES* older = nullptr);

    // The path of a directory ("a\b\", ".\" for the root) for a file found
    // inside (foreign false) or outside the current MFT.
    std::string directoryPath(const FILE_REFERENCE& directory, bool foreign) { return directoryOf(directory, foreign).path; }
    // The same with the names it is made of.
    const DIRECTORY_INFO& directoryOf(const FILE_REFERENCE& directory, bool foreign);
    // The extension records (indexes into found.records) of base record i.
    std::vector<std::size_t> extensionsOf(std::size_t i) const;

private:
    struct Node {
        bool known = false;
        std::string name;
        FILE_REFERENCE parent;
        bool foreign = false;
    };
    Node resolve(const FILE_REFERENCE& directory, bool foreign) const;
    // Whether a record of sequence `has` answers a reference of sequence
    // `wanted` (freeing a record bumps its sequence).
    static bool sequenceMatches(std::uint16_t wanted, std::uint16_t has, bool inUse);
    // The index entry naming a reference; for a record found outside the
    // current MFT, none from an index of the current volume's directories
    // (a former volume's sequence numbers start over as well).
    const INDEX_NAME* indexName(std::uint64_t rawReference, bool foreign) const;

    // Whether found record i is a copy of a current record.
    bool isCopy(std::size_t i, const std::unordered_map<std::uint64_t, std::size_t>& live) const;

    // What a base record and its extension records hold together: the
    // first name one of them gives, with its parent (raw reference), the
    // record holding the data's first extent (null if none does), whether
    // any holds unnamed data, and whether any of it has some length.
    struct Merged {
        std::string name;
        std::uint64_t parent = 0;
        const DeepScan::Record* first = nullptr;
        bool data = false;
        bool content = false;
    };
    // The base records that are no copies (indexes into found.records), one
    // per version (number, sequence number and name), in record order; of
    // copies of one version, the current MFT's, else the newest change time.
    std::vector<std::size_t> versions() const;
    // Base record r with its extension records exts.
    Merged merge(const DeepScan::Record& r, const std::vector<std::size_t>& exts) const;
    // For a record that lost its name: the name a directory index still
    // gives it, under its sequence number or, when free, the one before
    // freeing raised it. m is left as it is when no index names it.
    void nameFromIndex(const DeepScan::Record& r, bool foreign, Merged& m) const;
    // Adds the clusters of base record r and its extension records exts to
    // claims; returns the owner claims gave them. m.first must be set.
    std::uint32_t claim(const DeepScan::Record& r, const Merged& m, const std::vector<std::size_t>& exts,
                        Recoverability::Batch& claims, std::uint64_t totalClusters) const;
    // The search result for base record r (m: its merged view, named
    // false when m.name is a made-up one), with its directory's path.
    FOUND_FILE result(const DeepScan::Record& r, const Merged& m, bool named, bool foreign, std::uint32_t bytesPerSector,
                      std::uint64_t volumeStart);

    const DeepScan::Found& found_;
    std::uint64_t clusterBytes_ = 0;
    std::uint64_t mirrorBegin_ = 0, mirrorEnd_ = 0;
    bool guessed_ = false;
    std::vector<bool> current_;
    std::unordered_map<std::uint64_t, std::vector<std::size_t>> directories_;
    std::unordered_map<std::uint64_t, std::vector<std::size_t>> extensions_;
    // Per raw reference: the entry naming it, and one that does from an
    // index of a former volume (for records found outside the current MFT).
    std::unordered_map<std::uint64_t, std::size_t> indexNames_;
    std::unordered_map<std::uint64_t, std::size_t> formerIndexNames_;
    std::map<std::pair<std::uint64_t, bool>, DIRECTORY_INFO> paths_;
    // The directory of files whose parent is unknown.
    DIRECTORY_INFO lostFiles_;
};

} // namespace resurgo
