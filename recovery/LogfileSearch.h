#pragma once
// Files brought back from $LogFile: NTFS logs every change of a file
// record before it makes it, so the log still holds the names, sizes and
// run lists of files whose records were freed and handed to other files
// since. The log's records are replayed, record by record and in LSN
// order, onto the images their initializations logged (LoggedFileRecord);
// each (record, sequence number) is one version, kept as it stood at its
// last change that left it with data. A version whose record now holds
// another file (another sequence number), or is free with no name left,
// is a result (ResultSource::Logfile) when it has data, one per record number: the newest
// such version. A version the MFT walk lists already (the record is free
// with the sequence number its freeing gave it, and still named) or that is
// the record's current file is not.

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "file/FileZ.h"
#include "ntfs/LOG_RECORD.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "recovery/DIRECTORY_INFO.h"
#include "recovery/FOUND_FILE.h"
#include "recovery/LESS_RECOVERABLE.h"
#include "recovery/LOGGED_NAME.h"
#include "recovery/OLDER_MATCHES.h"
#include "recovery/SEARCH_FILTER.h"

namespace resurgo {

class FilesystemNTFS;
class Volume;

class LogfileSearch {
public:
    static constexpr std::uint64_t kLogFileRecord = 2;
    // $LogFile is at most 4 GiB and by default 64 MiB or less; more than
    // this is not read.
    static constexpr std::uint64_t kMaxLogBytes = 256ULL << 20;
    // Records below this number are the volume's own files.
    static constexpr std::uint64_t kFirstUserRecord = 16;
    static constexpr std::uint64_t kExtendDirectory = 11;
    // Versions kept per record, the newest: the record's file now takes one
    // sequence number and, freed, the next; the one before them is listed.
    static constexpr std::size_t kKeptVersions = 3;

    // One file record as the log last showed it with data.
    struct Version {
        std::uint64_t record = 0;
        std::uint16_t sequence = 0;
        std::uint64_t lsn = 0;            // the last change taken
        std::uint64_t size = 0;           // of its unnamed data
        std::vector<std::uint8_t> image;  // as on disk (update sequence applied)
    };

    // The versions the log records rebuild (the newest kKeptVersions of
    // each record), in record order, newest last per record. Records at or
    // past recordLimit are left out.
    static std::vector<Version> rebuild(const std::vector<LOG_RECORD>& records, const NTFS_GEOMETRY& geometry,
                                        std::uint64_t recordLimit);

    // With the MFT lost, the log is found by its restart pages: a log starts
    // with two of them, a system page apart. Of the candidate pages (byte
    // offsets in volume), the start of the log whose restart area holds the
    // highest current LSN (the volume's latest log, not a former one's);
    // none when no page parses.
    static std::optional<std::uint64_t> chooseStart(Volume& volume, const std::vector<std::uint64_t>& pages);
    // Reads the log starting at byte start of volume: the size its restart
    // area states, at most kMaxLogBytes and what the volume holds; log is
    // left empty when no restart page is there.
    static void readAt(Volume& volume, std::uint64_t start, std::vector<std::uint8_t>& log);
    // The cluster and record sizes the log's records agree on, when nothing
    // else tells them: a record's initialization names its own number and
    // size, and the VCN and 512-byte block it was written at; only one
    // cluster size puts that number there.
    struct LoggedGeometry {
        std::uint32_t clusterBytes = 0;
        std::uint32_t recordBytes = 0;
        std::uint64_t agreements = 0;
    };
    static std::optional<LoggedGeometry> geometryOf(const std::vector<LOG_RECORD>& records);
    // The restart pages of volume: a read of all of it.
    static std::vector<std::uint64_t> findRestartPages(Volume& volume);

    explicit LogfileSearch(FilesystemNTFS& filesystem);
    virtual ~LogfileSearch();
    LogfileSearch(const LogfileSearch&) = delete;
    LogfileSearch& operator=(const LogfileSearch&) = delete;

    // Where the log starts (a byte of the volume) when its record can't be
    // opened.
    void setStart(std::optional<std::uint64_t> start) { start_ = start; }
    // How directories are named when the MFT is lost (else the volume's
    // own paths).
    void setDirectories(std::function<DIRECTORY_INFO(const FILE_REFERENCE&)> directories) {
        directories_ = std::move(directories);
    }

    // Reads $LogFile through its record, else from the start set, and
    // rebuilds the versions; what can't be read is named in warnings().
    void read();
    // Appends the results that pass filter, in record order.
    void findFiles(const SEARCH_FILTER& filter, std::vector<FOUND_FILE>& out, OLDER_MATCHES& older,
                   LESS_RECOVERABLE& less);
    // Every kept version of a user file whose unnamed data starts in a
    // cluster (not compressed, not sparse there), as it names that data;
    // those findFiles listed are marked so.
    std::vector<LOGGED_NAME> dataNames();
    // Opens the version of record a search lists; false when there is none.
    bool open(std::uint64_t record, FileZ& entry);

    const std::vector<std::string>& warnings() const { return warnings_; }
    const std::vector<Version>& versions() const { return versions_; }

private:
    // Opens version v as a file; false when it is none to list (a
    // directory, the volume's own, nameless, or still the record's file).
    bool listable(const Version& v, FileZ& entry);

    // Opens the image of v as a file; false when it is no named user file.
    bool openImage(const Version& v, FileZ& entry);
    // The versions' record numbers stay under this.
    std::uint64_t recordLimit();

    FilesystemNTFS& fs_;
    std::optional<std::uint64_t> start_;
    std::function<DIRECTORY_INFO(const FILE_REFERENCE&)> directories_;
    std::vector<Version> versions_;
    // (record, sequence) of the versions findFiles listed.
    std::set<std::pair<std::uint64_t, std::uint16_t>> listed_;
    std::vector<std::string> warnings_;
};

} // namespace resurgo
