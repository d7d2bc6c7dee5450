#pragma once
// One MFT entry opened as a file: the base record with the extension
// records that hold further extents of its data and further names.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ntfs/FILE_REFERENCE.h"
#include "ntfs/FILE_TIME.h"
#include "ntfs/MFT_RECORD.h"
#include "ntfs/NTFS_GEOMETRY.h"

namespace resurgo {

class MftReader;
class Volume;

class FileZ {
public:
    static constexpr std::uint64_t kNoRecordNumber = ~0ULL;

    FileZ();
    virtual ~FileZ();
    FileZ(const FileZ&) = default;
    FileZ& operator=(const FileZ&) = default;

    // Opens the entry whose base record starts at firstSector; extension
    // records are read through mft.
    void open(Volume& volume, const NTFS_GEOMETRY& geometry, const MftReader* mft, std::uint64_t firstSector);
    // Opens MFT record n, read through the MFT's runs (also when its
    // sectors are split between two runs).
    void openRecord(Volume& volume, const NTFS_GEOMETRY& geometry, const MftReader* mft, std::uint64_t recordNumber);
    // Opens from the base record's bytes already in memory (modified by the
    // fixup). extentsChanged is called once the base record is parsed and
    // again after each extension record with data is added: the MFT's own
    // entry learns its runs that way while it reads its extension records.
    // When it raises code 19 (no file name), the records read so far stay:
    // their data extents and standard information can still be looked at.
    void openFromBytes(std::uint8_t* bytes, std::size_t length, Volume& volume, const NTFS_GEOMETRY& geometry,
                       const MftReader* mft, std::uint64_t firstSector, std::uint64_t recordNumber,
                       bool keepResidentValues = true, const std::function<void()>& extentsChanged = nullptr);
    // Opens from the base record's bytes with no MFT to read through (a
    // scan of the whole source found the record): after the base record and
    // its attribute lists are parsed, extensions is asked for the bytes of
    // the extension records that belong to it (each names recordNumber as
    // its base; those that do not are left out). A base record whose names
    // are all gone opens too: getName() is then empty.
    using ExtensionFinder = std::function<std::vector<std::vector<std::uint8_t>>(const MFT_RECORD& base)>;
    void openFromScan(std::uint8_t* bytes, std::size_t length, Volume& volume, const NTFS_GEOMETRY& geometry,
                      std::uint64_t firstSector, std::uint64_t recordNumber, const ExtensionFinder& extensions);
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

    std::uint64_t getRealSize() const;


private:
    // Follows the base record's attribute list (records_ holds the base).
    void finishOpen(std::uint64_t firstSector, const std::function<void()>& extentsChanged);
    // Reads the record's non-resident attribute lists through the volume
    // and decodes their entries into it.
    void readAttributeLists(MFT_RECORD& record) const;
    // Parses the base record into records_ (resized to it alone) with
    // geometry_ and checks that it is one: not an extension, with a
    // $STANDARD_INFORMATION.
    MFT_RECORD& parseBase(std::uint8_t* bytes, std::size_t length, bool keepResidentValues);
    const MFT_RECORD& base() const { return records_.front(); }

    const MftReader* mft_ = nullptr;
    Volume* volume_ = nullptr;
    NTFS_GEOMETRY geometry_;
    std::vector<MFT_RECORD> records_;
    std::uint64_t recordNumber_ = kNoRecordNumber;
    std::uint64_t firstSector_ = 0;
};

} // namespace resurgo
