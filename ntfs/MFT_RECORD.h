#pragma once
// One MFT file record: read, fixed up with its update-sequence array and
// taken apart into standard information, attribute list, file names and
// data attributes. Nothing a record says leads outside the record.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "ntfs/ATTRIBUTE_LIST_ENTRY.h"
#include "ntfs/DATA_ATTRIBUTE.h"
#include "ntfs/FILE_NAME_ENTRY.h"
#include "ntfs/FILE_REFERENCE.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "ntfs/STANDARD_INFORMATION.h"

namespace resurgo {

class Volume;

class MFT_RECORD {
public:
    // Record header layout.
    static constexpr std::size_t kSignature = 0x00;
    static constexpr std::size_t kUsaOffset = 0x04;
    static constexpr std::size_t kUsaCount = 0x06;
    static constexpr std::size_t kSequenceNumber = 0x10;
    static constexpr std::size_t kHardLinkCount = 0x12;
    static constexpr std::size_t kFirstAttribute = 0x14;
    static constexpr std::size_t kFlags = 0x16;
    static constexpr std::size_t kBytesInUse = 0x18;
    static constexpr std::size_t kBytesAllocated = 0x1C;
    static constexpr std::size_t kBaseReference = 0x20;
    static constexpr std::size_t kNextInstance = 0x28;
    static constexpr std::uint16_t kFlagInUse = 0x0001;
    static constexpr std::uint16_t kFlagDirectory = 0x0002;
    // Update sequences protect records in strides of 512 bytes.
    static constexpr std::size_t kUsaStride = 512;
    // Largest attribute list NTFS writes.
    static constexpr std::uint64_t kMaxAttributeListBytes = 256ULL * 1024;

    static constexpr std::uint32_t kTypeStandardInformation = 0x10;
    static constexpr std::uint32_t kTypeAttributeList = 0x20;
    static constexpr std::uint32_t kTypeFileName = 0x30;
    static constexpr std::uint32_t kTypeData = 0x80;
    static constexpr std::uint32_t kTypeEnd = 0xFFFFFFFF;

    MFT_RECORD();
    virtual ~MFT_RECORD();
    MFT_RECORD(const MFT_RECORD&) = default;
    MFT_RECORD& operator=(const MFT_RECORD&) = default;

    // Reads the record at firstSector (sectorsPerRecord sectors of the
    // geometry's sector size). Data runs are decoded as compressed when the
    // record's own standard information says so.
    void read(Volume& volume, const NTFS_GEOMETRY& geometry, std::uint64_t firstSector, std::uint32_t sectorsPerRecord);
    // The same for extension records, with the base record's compressed bit.
    void read(Volume& volume, const NTFS_GEOMETRY& geometry, std::uint64_t firstSector, std::uint32_t sectorsPerRecord,
              bool compressed);
    // Fixes up and walks a record held in memory (the bytes are modified by
    // the fixup). volume may be null when no non-resident list is expected.
    void parse(std::uint8_t* bytes, std::size_t length, Volume* volume, const NTFS_GEOMETRY& geometry,
               std::optional<bool> compressed = std::nullopt);

    // Update-sequence fixup of one record in memory.
    static void fixup(std::uint8_t* bytes, std::size_t length);

    // When false, resident data values are measured but not copied (the
    // search needs sizes, not contents).
    bool keepResidentValues = true;

    bool dataFound = false;
    bool fileNameFound = false;
    bool attributeListFound = false;
    bool standardInformationFound = false;
    std::vector<ATTRIBUTE_LIST_ENTRY> attributeList;
    std::vector<FILE_NAME_ENTRY> fileNames;
    std::vector<DATA_ATTRIBUTE> dataAttributes;
    STANDARD_INFORMATION standardInformation;
    FILE_REFERENCE baseReference;
    std::uint16_t nextInstance = 0;
    std::uint32_t bytesAllocated = 0;
    std::uint32_t bytesInUse = 0;
    std::uint16_t flags = 0;
    std::uint16_t firstAttributeOffset = 0;
    std::uint16_t hardLinkCount = 0;
    std::uint16_t sequenceNumber = 0;

    bool inUse() const { return (flags & kFlagInUse) != 0; }
    bool isDirectory() const { return (flags & kFlagDirectory) != 0; }

private:
    // Where a data attribute stands in the record being walked.
    struct PendingData {
        std::size_t attrPos;
        std::size_t attrLength;
    };

    void walk(const std::uint8_t* bytes, std::size_t length, Volume* volume, const NTFS_GEOMETRY& geometry,
              std::optional<bool> compressed);
    void readAttributeList(const std::uint8_t* attr, std::size_t attrLength, Volume* volume,
                           const NTFS_GEOMETRY& geometry, std::vector<std::uint8_t>& out);
    void decodeAttributeList(const std::uint8_t* data, std::size_t length);

    // Scratch of the walk, kept to spare an allocation per record parsed.
    std::vector<PendingData> pendingData_;
};

} // namespace resurgo
