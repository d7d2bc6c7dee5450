#pragma once
// A search of a whole source for MFT records (DeepScan), with the
// geometry found for it (DeepGeometry) and the results it gives
// (DeepResults), and the restore of a file from the offset of its record.
// Works on whatever source the search job was given: when the volume is
// found to start further in, it is read through a slice of that source.
// What a search learnt (geometry, each result's extension records) is kept
// for the restores that follow it on the same source.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "recovery/DeepGeometry.h"
#include "recovery/DeepScan.h"
#include "recovery/LOGGED_NAME.h"
#include "recovery/FOUND_FILE.h"
#include "recovery/LESS_RECOVERABLE.h"
#include "recovery/OLDER_MATCHES.h"
#include "recovery/SEARCH_CONTEXT.h"
#include "recovery/SEARCH_FILTER.h"

namespace resurgo {

class DeepResults;
class FileZ;
class FilesystemNTFS;
class SliceSource;
class Source;

class DeepSearch {
public:
    // Records next to a base record looked at first for its extension
    // records when no search has told where they are (either side); those
    // the attribute list names and that are not there are looked for by a
    // scan of the whole source.
    static constexpr std::uint64_t kExtensionWindow = 128;

    struct Report {
        std::uint64_t bytesScanned = 0;
        std::uint64_t recordsFound = 0;
        std::uint64_t indexBlocksFound = 0;
        bool currentMft = false;  // the volume's own MFT opened
        bool cancelled = false;
    };

    DeepSearch();
    virtual ~DeepSearch();
    DeepSearch(const DeepSearch&) = delete;
    DeepSearch& operator=(const DeepSearch&) = delete;

    // Scans source and appends to fs's results what passes filter. fs is
    // left open on the volume (close with close()).
    void run(Source& source, const std::string& root, FilesystemNTFS& fs, const SEARCH_FILTER& filter,
             const SEARCH_CONTEXT& context);
    // Opens fs on source for restores: with the geometry of the last run on
    // root, else the boot sectors', else one inferred by a scan.
    void open(Source& source, const std::string& root, FilesystemNTFS& fs);
    // Closes fs and drops the slice (before source goes away).
    void close(FilesystemNTFS& fs);

    // Opens the file whose base record starts at byte offset of source.
    void openAt(Source& source, FilesystemNTFS& fs, std::uint64_t offset, FileZ& entry) const;
    // The record at offset is record `number` of the current MFT and in use.
    bool isCurrentInUse(FilesystemNTFS& fs, std::uint64_t offset, std::uint64_t number, bool inUse) const;

    // Where $LogFile starts in fs's volume when the MFT did not open: the
    // restart pages the last run found, else those a read of the volume
    // finds (once per source); none when the MFT opened (the log is read
    // through its record) or no log is found.
    std::optional<std::uint64_t> logStart(FilesystemNTFS& fs);

    const DeepGeometry& geometry() const { return geometry_; }
    // Data read through the geometry may be another file's: it was
    // inferred without enough evidence agreeing.
    bool geometryGuessed() const { return known_ && !geometry_.confirmed; }
    const Report& report() const { return report_; }
    // The directory index entries the last run found, live and left in
    // index blocks' slack: names for carved files.
    const std::vector<INDEX_NAME>& indexNames() const { return indexNames_; }
    const std::vector<INDEX_NAME>& slackNames() const { return slackNames_; }
    // The data of the file versions $LogFile held (see
    // LogfileSearch::dataNames): names for carved files.
    const std::vector<LOGGED_NAME>& loggedNames() const { return loggedNames_; }

private:
    void openVolume(Source& source, FilesystemNTFS& fs);
    bool isCurrent(FilesystemNTFS& fs, std::uint64_t number, std::uint64_t offset) const;
    std::vector<std::vector<std::uint8_t>> extensionsNear(Source& source, FilesystemNTFS& fs, std::uint64_t offset,
                                                          std::uint64_t number, const std::vector<std::uint64_t>& listed,
                                                          std::uint16_t baseSequence, bool baseInUse) const;
    struct Gathered;
    // Through the current MFT: the records the base record's attribute
    // list names (listed).
    void extensionsListed(FilesystemNTFS& fs, const std::vector<std::uint64_t>& listed, Gathered& gathered) const;
    // Around the base record at offset, where the MFT it came from keeps
    // its neighbours (also those a stale attribute list no longer names).
    // False when no record starts at offset.
    bool extensionsAround(Source& source, std::uint64_t offset, Gathered& gathered) const;
    // Those of listed still missing: wherever a scan of the whole source
    // finds them, the copy nearest the base record at offset.
    void extensionsScanned(Source& source, std::uint64_t offset, const std::vector<std::uint64_t>& listed,
                           Gathered& gathered) const;

    // With nothing else to go by, the cluster and record sizes $LogFile's
    // records agree on (fs reopened with them).
    void geometryFromLog(const DeepScan::Found& found, Source& source, const std::string& root, FilesystemNTFS& fs);
    // Appends to out the files $LogFile tells of that the scan did not find.
    void appendLogged(const DeepScan::Found& found, DeepResults& results, FilesystemNTFS& fs,
                      const SEARCH_FILTER& filter, std::vector<FOUND_FILE>& out, OLDER_MATCHES& older,
                      LESS_RECOVERABLE& less);

    DeepGeometry geometry_;
    bool known_ = false;
    std::optional<std::uint64_t> logStart_;
    bool logLooked_ = false;
    std::string root_;
    std::unique_ptr<SliceSource> slice_;
    Report report_;
    std::vector<INDEX_NAME> indexNames_;
    std::vector<INDEX_NAME> slackNames_;
    std::vector<LOGGED_NAME> loggedNames_;
    std::map<std::uint64_t, std::vector<std::uint64_t>> extensions_;
    // A scan made for restores (the geometry, extension records a base
    // record's neighbours do not hold), kept for those that follow.
    mutable std::unique_ptr<DeepScan::Found> scan_;
};

} // namespace resurgo
