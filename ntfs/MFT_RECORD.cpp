#include "ntfs/MFT_RECORD.h"

#include <algorithm>
#include <cstring>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "core/TextUtf.h"

namespace resurgo {

namespace {

// Attribute header layout (offsets from the attribute's start).
constexpr std::size_t kAttrType = 0x00;
constexpr std::size_t kAttrLength = 0x04;
constexpr std::size_t kAttrNonResident = 0x08;
constexpr std::size_t kAttrNameLength = 0x09;
constexpr std::size_t kAttrNameOffset = 0x0A;
constexpr std::size_t kAttrFlags = 0x0C;
constexpr std::size_t kAttrId = 0x0E;
constexpr std::size_t kResValueLength = 0x10;
constexpr std::size_t kResValueOffset = 0x14;
constexpr std::size_t kResFlags = 0x16;
constexpr std::size_t kResHeaderBytes = 0x18;
constexpr std::size_t kNrStartVcn = 0x10;
constexpr std::size_t kNrLastVcn = 0x18;
constexpr std::size_t kNrRunListOffset = 0x20;
constexpr std::size_t kNrCompressionUnit = 0x22;
constexpr std::size_t kNrAllocatedSize = 0x28;
constexpr std::size_t kNrDataSize = 0x30;
constexpr std::size_t kNrInitializedSize = 0x38;
constexpr std::size_t kNrHeaderBytes = 0x40;
constexpr std::uint16_t kAttrFlagCompressionMask = 0x00FF;
constexpr std::uint16_t kAttrFlagSparse = 0x8000;

// Attribute list entry layout.
constexpr std::size_t kAlType = 0x00;
constexpr std::size_t kAlLength = 0x04;
constexpr std::size_t kAlNameLength = 0x06;
constexpr std::size_t kAlStartVcn = 0x08;
constexpr std::size_t kAlReference = 0x10;
constexpr std::size_t kAlId = 0x18;
constexpr std::size_t kAlName = 0x1A;

constexpr std::size_t kMinStandardInformation = 0x24;  // up to and including the file attributes

const char* const kDiagWalkBounds = "MFT_RECORD::walk <Attribute out of record>";
const char* const kDiagListBounds = "MFT_RECORD::walk <Attribute list entry out of list>";
const char* const kDiagListTooLarge = "MFT_RECORD::readAttributeList <Attribute list too large>";
const char* const kDiagRunListOffset = "RUN_LIST::decompress_run <Unknown field type>";

std::string readName(const ByteReader& r, std::size_t offset, std::size_t units) {
    r.require(offset, units * 2);
    return TextUtf::fromUtf16Le(r.data() + offset, units);
}

} // namespace

MFT_RECORD::MFT_RECORD() = default;
MFT_RECORD::~MFT_RECORD() = default;

void MFT_RECORD::parse(std::uint8_t* bytes, std::size_t length, const NTFS_GEOMETRY& geometry,
                       std::optional<bool> compressed) {
    fixup(bytes, length);
    ownRecordNumber = storedRecordNumber(bytes, length);
    ByteReader r(bytes, length, kErrRecordFormat, kDiagWalkBounds);
    sequenceNumber = r.u16(kSequenceNumber);
    hardLinkCount = r.u16(kHardLinkCount);
    firstAttributeOffset = r.u16(kFirstAttribute);
    flags = r.u16(kFlags);
    bytesInUse = r.u32(kBytesInUse);
    bytesAllocated = r.u32(kBytesAllocated);
    baseReference.assign(r.u64(kBaseReference));
    nextInstance = r.u16(kNextInstance);
    walk(bytes, length, geometry, compressed);
}

std::optional<std::uint64_t> MFT_RECORD::storedRecordNumber(const std::uint8_t* bytes, std::size_t length) {
    const ByteReader r(bytes, length, kErrRecordFormat, kDiagWalkBounds);
    if (!r.contains(0, kHeaderBytes31) || r.u16(kUsaOffset) < kHeaderBytes31) return std::nullopt;
    return r.u32(kRecordNumber);
}

RUN_LIST::Context MFT_RECORD::runContext(const NTFS_GEOMETRY& geometry, std::size_t recordOffset) const {
    RUN_LIST::Context c;
    c.totalClusters = geometry.totalClusters;
    c.recordNumber = ownRecordNumber;
    c.recordOffset = recordOffset;
    return c;
}

void MFT_RECORD::fixup(std::uint8_t* bytes, std::size_t length) {
    if (length < kHeaderBytes31 || std::memcmp(bytes + kSignature, "FILE", 4) != 0) {
        throw ErrorException(kErrRecordFormat, "MFT_RECORD::fixup <Signature check>");
    }
    ByteReader r(bytes, length, kErrRecordFormat, "MFT_RECORD::fixup <Fixup count check>");
    std::size_t count = r.u16(kUsaCount);
    std::size_t strides = length / kUsaStride;
    if (count != strides + 1 || length % kUsaStride != 0) {
        throw ErrorException(kErrRecordFormat, "MFT_RECORD::fixup <Fixup count check>");
    }
    std::size_t usa = r.u16(kUsaOffset);
    // The array must lie inside the record's first stride, after the header
    // fields it follows, and be word-aligned.
    if ((usa & 1) != 0 || usa < kMinUsaOffset || usa + 2 * count > kUsaStride) {
        throw ErrorException(kErrRecordFormat, "MFT_RECORD::fixup <Fixup offset check>");
    }
    std::uint16_t usn = r.u16(usa);
    for (std::size_t i = 0; i < strides; ++i) {
        std::size_t last = (i + 1) * kUsaStride - 2;
        if (r.u16(last) != usn) throw ErrorException(kErrRecordFormat, "MFT_RECORD::fixup <Fixup word check>");
        bytes[last] = bytes[usa + 2 + 2 * i];
        bytes[last + 1] = bytes[usa + 3 + 2 * i];
    }
}

void MFT_RECORD::walk(const std::uint8_t* bytes, std::size_t length, const NTFS_GEOMETRY& geometry,
                      std::optional<bool> compressedOverride) {
    dataFound = fileNameFound = attributeListFound = standardInformationFound = false;
    attributeList.clear();
    nonResidentLists.clear();
    fileNames.clear();
    dataAttributes.clear();
    standardInformation = STANDARD_INFORMATION{};

    if (nextInstance == 0) return;
    // The walk never leaves the record, whatever bytes allocated claims.
    std::size_t end = std::min<std::size_t>(length, bytesAllocated);
    ByteReader rec(bytes, end, kErrRecordFormat, kDiagWalkBounds);
    std::size_t pos = firstAttributeOffset;
    if (pos < kMinFirstAttribute || pos >= end) return;

    // Data attributes are decoded after the walk, once the standard
    // information (which may follow them in a damaged record) is known.
    std::vector<PendingData>& pending = pendingData_;
    pending.clear();

    unsigned visited = 0;
    while (pos < end) {
        if (!rec.contains(pos, 4)) break;
        std::uint32_t type = rec.u32(pos + kAttrType);
        if (type == kTypeEnd) break;
        std::uint32_t alen = rec.u32(pos + kAttrLength);
        if (alen < kResHeaderBytes || alen > end - pos || (alen & 7) != 0) {
            throw ErrorException(kErrRecordFormat, "MFT_RECORD::walk <Attribute length check>");
        }
        ByteReader a = rec.sub(pos, alen);
        bool nonResident = a.u8(kAttrNonResident) != 0;
        if (nonResident && alen < kNrHeaderBytes) {
            throw ErrorException(kErrRecordFormat, "MFT_RECORD::walk <Attribute length check>");
        }
        auto residentValue = [&](std::size_t& off, std::size_t& len) {
            len = a.u32(kResValueLength);
            off = a.u16(kResValueOffset);
            a.require(off, len);
        };

        switch (type) {
        case kTypeStandardInformation: {
            if (standardInformationFound) {
                throw ErrorException(kErrRecordFormat,
                                     "MFT_RECORD::walk <Multiple standard information attributs>");
            }
            standardInformationFound = true;
            if (nonResident) {
                throw ErrorException(kErrRecordFormat,
                                     "MFT_RECORD::walk <Non-resident standard information attribut>");
            }
            std::size_t off = 0, len = 0;
            residentValue(off, len);
            if (len < kMinStandardInformation) {
                throw ErrorException(kErrRecordFormat, "MFT_RECORD::walk <Standard information too short>");
            }
            std::size_t keep = std::min(len, STANDARD_INFORMATION::kKeptBytes);
            std::memcpy(standardInformation.bytes.data(), a.data() + off, keep);
            break;
        }
        case kTypeAttributeList: {
            attributeListFound = true;
            if (nonResident) {
                addNonResidentList(a.data(), alen, pos, geometry);
            } else {
                std::size_t off = 0, len = 0;
                residentValue(off, len);
                decodeAttributeList(a.data() + off, len);
            }
            break;
        }
        case kTypeFileName: {
            fileNameFound = true;
            if (nonResident) throw ErrorException(kErrRecordFormat, "MFT_RECORD::walk <Non-resident filename attribut>");
            std::size_t off = 0, len = 0;
            residentValue(off, len);
            ByteReader v = a.sub(off, len);
            v.require(0, FILE_NAME_ENTRY::kName);
            FILE_NAME_ENTRY fn;
            std::memcpy(fn.head.data(), v.data(), FILE_NAME_ENTRY::kHeadBytes);
            std::size_t units = v.u8(FILE_NAME_ENTRY::kNameLength);
            fn.nameSpace = v.u8(FILE_NAME_ENTRY::kNamespace);
            fn.name = readName(v, FILE_NAME_ENTRY::kName, units);
            fileNames.push_back(std::move(fn));
            break;
        }
        case kTypeData: {
            dataFound = true;
            pending.push_back({pos, alen});
            break;
        }
        default:
            break;  // index root, index allocation, bitmap, security and so on
        }

        ++visited;
        if (visited >= nextInstance) {
            // The next-instance counter bounds how many attributes a record
            // can hold; beyond it lies stale space.
            break;
        }
        pos += alen;
    }

    bool compressed = compressedOverride.has_value()
                          ? *compressedOverride
                          : (standardInformation.fileAttributes() & STANDARD_INFORMATION::kAttrCompressed) != 0;
    for (const auto& p : pending) {
        ByteReader a = rec.sub(p.attrPos, p.attrLength);
        DATA_ATTRIBUTE d;
        d.type = kTypeData;
        d.nonResident = a.u8(kAttrNonResident) != 0;
        d.nameLength = a.u8(kAttrNameLength);
        std::uint16_t aflags = a.u16(kAttrFlags);
        d.compressed = (aflags & kAttrFlagCompressionMask) != 0;
        d.sparse = (aflags & kAttrFlagSparse) != 0;
        d.attributeId = a.u16(kAttrId);
        if (d.nameLength != 0) d.name = readName(a, a.u16(kAttrNameOffset), d.nameLength);
        if (d.nonResident) {
            d.startingVcn = static_cast<std::int64_t>(a.u64(kNrStartVcn));
            d.lastVcn = static_cast<std::int64_t>(a.u64(kNrLastVcn));
            d.compressionUnit = a.u16(kNrCompressionUnit);
            d.allocatedSize = a.u64(kNrAllocatedSize);
            d.dataSize = a.u64(kNrDataSize);
            d.initializedSize = a.u64(kNrInitializedSize);
            std::size_t runOff = a.u16(kNrRunListOffset);
            if (runOff > p.attrLength) throw ErrorException(kErrRunlistField, kDiagRunListOffset);
            // A compressed record decodes with the compressed decoder;
            // uncompressed streams may hold sparse runs (NTFS 3.0 and later).
            // Runs naming clusters outside the volume don't fail the record:
            // the list keeps the fault and raises it when its runs are read
            // (by a restore), so that a deleted file whose runs are damaged
            // is still found, as it was before the runs were checked here.
            RUN_LIST::Kind kind = compressed ? RUN_LIST::Kind::Compressed : RUN_LIST::Kind::OrdinaryAllowSparse;
            d.runs = RUN_LIST(a.data() + runOff, a.data() + p.attrLength, d.startingVcn, d.lastVcn, kind,
                              runContext(geometry, p.attrPos + runOff));
        } else {
            std::size_t len = a.u32(kResValueLength);
            std::size_t off = a.u16(kResValueOffset);
            a.require(off, len);
            if (keepResidentValues) d.value.assign(a.data() + off, a.data() + off + len);
            d.valueLength = static_cast<std::uint32_t>(len);
            d.residentFlags = a.u16(kResFlags);
            d.dataSize = len;
            d.initializedSize = len;
            d.allocatedSize = len;
        }
        dataAttributes.push_back(std::move(d));
    }
}

void MFT_RECORD::addNonResidentList(const std::uint8_t* attr, std::size_t attrLength, std::size_t attrPos,
                                    const NTFS_GEOMETRY& geometry) {
    ByteReader a(attr, attrLength, kErrRecordFormat, kDiagWalkBounds);
    NonResidentList list;
    list.dataSize = a.u64(kNrDataSize);
    if (list.dataSize > kMaxAttributeListBytes) throw ErrorException(kErrRecordFormat, kDiagListTooLarge);
    std::size_t runOff = a.u16(kNrRunListOffset);
    if (runOff > attrLength) throw ErrorException(kErrRunlistField, kDiagRunListOffset);
    // A sparse run here is a format error. The list is needed to open the
    // record at all, so runs outside the volume fail the record here too
    // (totalClusters() reads the runs).
    list.runs = RUN_LIST(attr + runOff, attr + attrLength, static_cast<std::int64_t>(a.u64(kNrStartVcn)),
                         static_cast<std::int64_t>(a.u64(kNrLastVcn)), RUN_LIST::Kind::Ordinary,
                         runContext(geometry, attrPos + runOff));
    const std::uint64_t clusterBytes = geometry.clusterBytes();
    const std::uint64_t clusters = list.runs.totalClusters();
    if (clusterBytes == 0 || clusters > kMaxAttributeListBytes ||
        clusters * clusterBytes > kMaxAttributeListBytes + clusterBytes) {
        throw ErrorException(kErrRecordFormat, kDiagListTooLarge);
    }
    nonResidentLists.push_back(std::move(list));
}

void MFT_RECORD::decodeAttributeList(const std::uint8_t* data, std::size_t length) {
    ByteReader list(data, length, kErrRecordFormat, kDiagListBounds);
    std::size_t pos = 0;
    while (pos < length) {
        if (!list.contains(pos, kAlName)) {
            // A tail too short for an entry header: zero slack ends the list.
            bool allZero = true;
            for (std::size_t i = pos; i < length; ++i) allZero = allZero && data[i] == 0;
            if (allZero) break;
            throw ErrorException(kErrRecordFormat, kDiagListBounds);
        }
        std::uint16_t elen = list.u16(pos + kAlLength);
        if (elen == 0) break;
        if (elen < kAlName || elen > length - pos) throw ErrorException(kErrRecordFormat, kDiagListBounds);
        ByteReader e = list.sub(pos, elen);
        ATTRIBUTE_LIST_ENTRY entry;
        entry.type = e.u32(kAlType);
        entry.attributeId = e.u16(kAlId);
        entry.startingVcn = e.u64(kAlStartVcn);
        entry.reference.assign(e.u64(kAlReference));
        std::size_t units = e.u8(kAlNameLength);
        if (units != 0) entry.name = readName(e, kAlName, units);
        attributeList.push_back(std::move(entry));
        pos += elen;
    }
}

} // namespace resurgo
