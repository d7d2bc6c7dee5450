#pragma once
// One MFT entry opened as a file: the base record with the extension
// records that hold further extents of its data and further names. The
// volume's MFT is itself such an entry, through which every other record
// is located.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "file/MftRunTable.h"
#include "ntfs/FILE_REFERENCE.h"
#include "ntfs/FILE_TIME.h"
#include "ntfs/MFT_RECORD.h"
#include "ntfs/NTFS_GEOMETRY.h"

namespace resurgo {

class Volume;

class FileZ {
public:
    static constexpr std::uint64_t kNoRecordNumber = ~0ULL;

    FileZ();
    virtual ~FileZ();
    FileZ(const FileZ&) = default;
    FileZ& operator=(const FileZ&) = default;

    // Opens the entry whose base record starts at firstSector. mftEntry is
    // the MFT's own entry, or this when the MFT itself is being opened.
    void open(Volume& volume, const NTFS_GEOMETRY& geometry, FileZ* mftEntry, std::uint64_t firstSector);
    // Opens MFT record n, read through the MFT's runs (also when its
    // sectors are split between two runs).
    void openRecord(Volume& volume, const NTFS_GEOMETRY& geometry, FileZ* mftEntry, std::uint64_t recordNumber);
    // Opens from the base record's bytes already in memory (modified by the fixup).
    void openFromBytes(std::uint8_t* bytes, std::size_t length, Volume& volume, const NTFS_GEOMETRY& geometry,
                       FileZ* mftEntry, std::uint64_t firstSector, std::uint64_t recordNumber,
                       bool keepResidentValues = true);
    void close();

    std::string getName() const;
    bool isDeleted() const;
    bool isDirectory() const;
    bool isCompressed() const;
    bool isResident() const;
    FILE_REFERENCE getDirectoryReference() const;
    FILE_TIME getCreationTime() const;
    FILE_TIME getLastModificationTime() const;
    FILE_TIME getLastAccessTime() const;
    std::uint64_t creationTimeUtc() const;
    std::uint64_t modificationTimeUtc() const;
    std::uint64_t accessTimeUtc() const;
    // The name against a search pattern (see WildcardMatcher).
    bool matchName(const std::string& pattern) const;

    const std::vector<MFT_RECORD>& records() const { return records_; }
    std::uint64_t recordNumber() const { return recordNumber_; }
    std::uint64_t firstSector() const { return firstSector_; }

    // The extents of one stream ("" = the file's unnamed data) in VCN order,
    // each once, from whichever records hold them.
    std::vector<const DATA_ATTRIBUTE*> dataExtents(const std::string& streamName = std::string()) const;
    // The extent starting at VCN 0 of the unnamed data, or nullptr.
    const DATA_ATTRIBUTE* firstDataExtent() const;

    // Record location through the MFT's runs (called on the MFT's entry).
    std::uint64_t getSectorOfRecord(std::uint64_t n);
    // The same (safe from several threads).
    std::uint64_t sectorOfRecord(std::uint64_t n) const;
    std::uint64_t getSectorOfReference(const FILE_REFERENCE& reference);
    std::uint64_t getRealSize() const;

    // MFT entry only: the number of whole records its runs hold.
    std::uint64_t recordCapacity() const;
    // MFT entry only: reads count consecutive records from record first
    // into out (count × record size bytes), along the runs.
    void readRecords(std::uint64_t first, std::uint64_t count, std::uint8_t* out) const;
    const MftRunTable& runTable() const { return runTable_; }

private:
    // Follows the base record's attribute list (records_ holds the base).
    void finishOpen(std::uint64_t firstSector);
    // Reads the record's non-resident attribute lists through the volume
    // and decodes their entries into it.
    void readAttributeLists(MFT_RECORD& record) const;
    void rebuildRunTable();
    std::uint64_t sectorOfMftByte(std::uint64_t offset) const;
    const MFT_RECORD& base() const { return records_.front(); }

    FileZ* mft_ = nullptr;
    Volume* volume_ = nullptr;
    NTFS_GEOMETRY geometry_;
    std::vector<MFT_RECORD> records_;
    MftRunTable runTable_;
    std::uint64_t recordNumber_ = kNoRecordNumber;
    std::uint64_t firstSector_ = 0;
};

} // namespace resurgo
