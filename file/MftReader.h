#pragma once
// The volume's MFT: its own entry (record 0, with the extension records
// that hold more of its runs) and the table of its runs, through which
// every other record is located and read.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "file/FileZ.h"
#include "file/MftRunTable.h"
#include "ntfs/FILE_REFERENCE.h"
#include "ntfs/NTFS_GEOMETRY.h"

namespace resurgo {

class Volume;

class MftReader {
public:
    // The diagnostic of a record that the run list maps onto clusters it
    // mapped before (code 12).
    static constexpr const char* kRepeatedDiagnostic = "MftReader::sectorOfRecord <Clusters mapped twice>";

    MftReader();
    virtual ~MftReader();
    MftReader(const MftReader&) = default;
    MftReader& operator=(const MftReader&) = default;

    // Opens the MFT from its base record at firstSector (the MFT's first
    // record, or the mirror's copy of it).
    void open(Volume& volume, const NTFS_GEOMETRY& geometry, std::uint64_t firstSector);
    // The same from the base record's bytes in memory (modified by the fixup).
    void openFromBytes(std::uint8_t* bytes, std::size_t length, Volume& volume, const NTFS_GEOMETRY& geometry,
                       std::uint64_t firstSector, std::uint64_t recordNumber);
    void close();

    // The MFT's own entry.
    const FileZ& entry() const { return entry_; }
    const std::vector<MFT_RECORD>& records() const { return entry_.records(); }
    // The MFT's real size in bytes.
    std::uint64_t getRealSize() const;

    // The number of whole records the runs hold.
    std::uint64_t recordCapacity() const;
    // First sector of record n; raises code 17 past the MFT's runs.
    std::uint64_t getSectorOfRecord(std::uint64_t n) const;
    std::uint64_t sectorOfRecord(std::uint64_t n) const;
    std::uint64_t getSectorOfReference(const FILE_REFERENCE& reference) const;
    // Reads count consecutive records from record first into out (count ×
    // record size bytes), along the runs (sparse runs, and clusters the run
    // list maps a second time, read as zeros).
    void readRecords(std::uint64_t first, std::uint64_t count, std::uint8_t* out) const;
    const MftRunTable& runTable() const { return runTable_; }

private:
    void rebuildRunTable();
    std::uint64_t sectorOfMftByte(std::uint64_t offset) const;

    FileZ entry_;
    MftRunTable runTable_;
    Volume* volume_ = nullptr;
    NTFS_GEOMETRY geometry_;
};

} // namespace resurgo
