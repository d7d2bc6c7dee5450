#pragma once
// One MFT file record held in memory: fixed up with its update-sequence
// array and taken apart into standard information, attribute list, file
// names and data attributes. Nothing a record says leads outside the record,
// and nothing is read from a volume: an attribute list kept in clusters of
// its own is described for the caller to read and hand back.

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
#include "ntfs/UpdateSequence.h"

namespace resurgo {

class ByteReader;

class MFT_RECORD {
public:
    // Record header layout.
    static constexpr std::size_t kSignature = 0x00;
    static constexpr std::size_t kUsaOffset = UpdateSequence::kArrayOffset;
    static constexpr std::size_t kUsaCount = UpdateSequence::kArrayCount;
    static constexpr std::size_t kSequenceNumber = 0x10;
    static constexpr std::size_t kHardLinkCount = 0x12;
    static constexpr std::size_t kFirstAttribute = 0x14;
    static constexpr std::size_t kFlags = 0x16;
    static constexpr std::size_t kBytesInUse = 0x18;
    static constexpr std::size_t kBytesAllocated = 0x1C;
    static constexpr std::size_t kBaseReference = 0x20;
    static constexpr std::size_t kNextInstance = 0x28;
    // NTFS 3.1 records keep their own number here; their update sequence
    // array then starts at or after kHeaderBytes31.
    static constexpr std::size_t kRecordNumber = 0x2C;
    static constexpr std::size_t kHeaderBytes31 = 0x30;
    // The update sequence array may not overlap the fields every record
    // version has, up to and including the base reference.
    static constexpr std::size_t kMinUsaOffset = kBaseReference + 8;
    // An attribute can't start inside the fields up to and including the flags.
    static constexpr std::size_t kMinFirstAttribute = kFlags + 2;
    static constexpr std::uint16_t kFlagInUse = 0x0001;
    static constexpr std::uint16_t kFlagDirectory = 0x0002;
    static constexpr std::size_t kUsaStride = UpdateSequence::kStride;
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

    // Fixes up and walks a record held in memory (the bytes are modified by
    // the fixup). Data runs are decoded as compressed when compressed says
    // so or, without it, when the record's own standard information does
    // (extension records have none: the caller passes the base record's).
    // Runs are checked against geometry.totalClusters; see RUN_LIST for
    // which faults raise here and which only when the runs are read.
    void parse(std::uint8_t* bytes, std::size_t length, const NTFS_GEOMETRY& geometry,
               std::optional<bool> compressed = std::nullopt);

    // Update-sequence fixup of one record in memory.
    static void fixup(std::uint8_t* bytes, std::size_t length);

    // The record's own number as NTFS 3.1 stores it in the header, or
    // nothing for an older layout (or fewer bytes than the header).
    static std::optional<std::uint64_t> storedRecordNumber(const std::uint8_t* bytes, std::size_t length);

    // A non-resident $ATTRIBUTE_LIST: its entries lie in the clusters of
    // runs, the first dataSize bytes of them (what follows is slack). The
    // runs were checked when parsed: no sparse run, no more than
    // kMaxAttributeListBytes in all, every cluster inside the volume.
    struct NonResidentList {
        RUN_LIST runs;
        std::uint64_t dataSize = 0;
    };
    // The record's non-resident attribute lists in record order (one on any
    // volume NTFS wrote). The caller reads each and hands the bytes to
    // decodeAttributeList.
    std::vector<NonResidentList> nonResidentLists;
    // Appends the entries of an attribute list value (data holds at most the
    // list's data size) to attributeList. Raises 13 for an entry that
    // leaves the value.
    void decodeAttributeList(const std::uint8_t* data, std::size_t length);

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
    // The number the record keeps in its header (NTFS 3.1), if any; errors
    // found in the record name it.
    std::optional<std::uint64_t> ownRecordNumber;

    bool inUse() const { return (flags & kFlagInUse) != 0; }
    bool isDirectory() const { return (flags & kFlagDirectory) != 0; }

private:
    // Where a data attribute stands in the record being walked.
    struct PendingData {
        std::size_t attrPos;
        std::size_t attrLength;
    };

    void walk(const std::uint8_t* bytes, std::size_t length, const NTFS_GEOMETRY& geometry,
              std::optional<bool> compressed);
    // Takes in one attribute a of the walk (of the given type, at pos);
    // data attributes wait in pendingData_.
    void readAttribute(const ByteReader& a, std::uint32_t type, std::size_t pos, const NTFS_GEOMETRY& geometry);
    void readStandardInformation(const ByteReader& a, bool nonResident);
    // One $FILE_NAME value.
    void readFileName(const ByteReader& value);
    // A data attribute a at attrPos, its runs decoded as compressed or not.
    DATA_ATTRIBUTE decodeData(const ByteReader& a, std::size_t attrPos, bool compressed,
                              const NTFS_GEOMETRY& geometry) const;
    // Checks a non-resident attribute list at attrPos and notes its runs.
    void addNonResidentList(const std::uint8_t* attr, std::size_t attrLength, std::size_t attrPos,
                            const NTFS_GEOMETRY& geometry);
    RUN_LIST::Context runContext(const NTFS_GEOMETRY& geometry, std::size_t recordOffset) const;

    // Scratch of the walk, kept to spare an allocation per record parsed.
    std::vector<PendingData> pendingData_;
};

} // namespace resurgo
