#pragma once
// A carve as part of a search: where to look (the clusters $Bitmap marks
// free and no listed file claims; the whole source when the volume's
// bitmap is lost), the carve itself, names from the index entries found
// and from $LogFile,
// and the results that pass the pattern. Files that start where a listed
// file's data starts are left out: the walk has them already.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "recovery/FOUND_FILE.h"
#include "recovery/LOGGED_NAME.h"
#include "recovery/carve/Carver.h"

namespace resurgo {

class FileZ;
class FilesystemNTFS;
class OutputSink;
class ProgressSink;
class Source;

class CarveSearch {
public:
    // Where the volume lies on the source and its clusters.
    struct Layout {
        std::uint64_t volumeStart = 0;
        std::uint64_t clusterBytes = 512;
        std::uint64_t totalClusters = 0;
    };
    struct Report {
        std::uint64_t bytesLooked = 0;
        std::uint64_t indexNames = 0;  // in use and in slack
        std::uint64_t slackNames = 0;
        bool fromBitmap = false;
        bool cancelled = false;
    };

    // The ranges to look at: fs's free clusters less those of listed
    // (when fs is open with its MFT and $Bitmap reads), else the whole
    // source.
    // Byte ranges of claimed (sorted or not) are left out too.
    static std::vector<Carver::Range> freeRanges(FilesystemNTFS* fs, const std::vector<FOUND_FILE>& listed,
                                                 const Layout& layout, std::uint64_t sourceBytes, bool& fromBitmap,
                                                 std::vector<Carver::Range> claimed = {});
    // Adds the byte ranges of entry's data on the source to claimed.
    static void claimData(const FileZ& entry, const Layout& layout, std::vector<Carver::Range>& claimed);
    // What the search knows already that may name carved files: the file
    // versions of $LogFile, and the index entries a deep scan found (the
    // carve sees only those in the ranges it reads).
    struct Known {
        const std::vector<LOGGED_NAME>* logged = nullptr;
        const std::vector<INDEX_NAME>* indexNames = nullptr;
        const std::vector<INDEX_NAME>* slackNames = nullptr;
    };

    // Carves ranges of source and returns the results whose names match
    // pattern, named from the index entries found and from known (see
    // CarveNames).
    static std::vector<FOUND_FILE> run(Source& source, const std::vector<Carver::Range>& ranges, const Layout& layout,
                                       const std::string& pattern, ProgressSink* progress,
                                       const std::atomic<std::uint8_t>* cancel, Report& report,
                                       const Known& known);
    // The file a carve finds at offset of source (unnamed), or false.
    static bool measureAt(Source& source, std::uint64_t offset, FOUND_FILE& file);
    // Copies size bytes at offset of source to out; of a compressed file,
    // the first size bytes its units decompress to.
    static void copy(Source& source, std::uint64_t offset, std::uint64_t size, bool compressed, OutputSink& out);

private:
    // The free clusters (or the whole source) before claimed ranges are
    // taken out.
    static std::vector<Carver::Range> freeOf(FilesystemNTFS* fs, const std::vector<FOUND_FILE>& listed,
                                             const Layout& layout, std::uint64_t sourceBytes, bool& fromBitmap);
};

} // namespace resurgo
