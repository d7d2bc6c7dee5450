#include "ntfs/MFT_RECORD.h"

#include <algorithm>
#include <cstring>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "core/TextUtf.h"
#include "ntfs/AttributeHeader.h"
#include "ntfs/UpdateSequence.h"

namespace resurgo {

namespace {

using Attr = AttributeHeader;

// Attribute header layout (offsets from the attribute's start).

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

// The value of a resident attribute, which must lie inside it.
ByteReader residentValue(const ByteReader& a) {
    const std::size_t len = a.u32(Attr::kValueLength);
    const std::size_t off = a.u16(Attr::kValueOffset);
    return a.sub(off, len);
}

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
    // The array must lie after the header fields it follows.
    UpdateSequence::apply(bytes, length, kMinUsaOffset,
                          {"MFT_RECORD::fixup <Fixup count check>", "MFT_RECORD::fixup <Fixup offset check>",
                           "MFT_RECORD::fixup <Fixup word check>"});
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
    pendingData_.clear();

    unsigned visited = 0;
    while (pos < end) {
        if (!rec.contains(pos, 4)) break;
        std::uint32_t type = rec.u32(pos + Attr::kType);
        if (type == kTypeEnd) break;
        std::uint32_t alen = rec.u32(pos + Attr::kLength);
        if (alen < Attr::kResidentBytes || alen > end - pos || (alen & 7) != 0) {
            throw ErrorException(kErrRecordFormat, "MFT_RECORD::walk <Attribute length check>");
        }
        readAttribute(rec.sub(pos, alen), type, pos, geometry);
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
    for (const auto& p : pendingData_) {
        dataAttributes.push_back(decodeData(rec.sub(p.attrPos, p.attrLength), p.attrPos, compressed, geometry));
    }
}

void MFT_RECORD::readAttribute(const ByteReader& a, std::uint32_t type, std::size_t pos,
                               const NTFS_GEOMETRY& geometry) {
    const bool nonResident = a.u8(Attr::kNonResident) != 0;
    if (nonResident && a.size() < Attr::kNonResidentBytes) {
        throw ErrorException(kErrRecordFormat, "MFT_RECORD::walk <Attribute length check>");
    }
    switch (type) {
    case kTypeStandardInformation:
        readStandardInformation(a, nonResident);
        break;
    case kTypeAttributeList:
        attributeListFound = true;
        if (nonResident) {
            addNonResidentList(a.data(), a.size(), pos, geometry);
        } else {
            const ByteReader v = residentValue(a);
            decodeAttributeList(v.data(), v.size());
        }
        break;
    case kTypeFileName:
        fileNameFound = true;
        if (nonResident) throw ErrorException(kErrRecordFormat, "MFT_RECORD::walk <Non-resident filename attribut>");
        readFileName(residentValue(a));
        break;
    case kTypeData:
        dataFound = true;
        pendingData_.push_back({pos, a.size()});
        break;
    default:
        break;  // index root, index allocation, bitmap, security and so on
    }
}

void MFT_RECORD::readStandardInformation(const ByteReader& a, bool nonResident) {
    if (standardInformationFound) {
        throw ErrorException(kErrRecordFormat, "MFT_RECORD::walk <Multiple standard information attributs>");
    }
    standardInformationFound = true;
    if (nonResident) {
        throw ErrorException(kErrRecordFormat, "MFT_RECORD::walk <Non-resident standard information attribut>");
    }
    const ByteReader v = residentValue(a);
    if (v.size() < kMinStandardInformation) {
        throw ErrorException(kErrRecordFormat, "MFT_RECORD::walk <Standard information too short>");
    }
    std::size_t keep = std::min(v.size(), STANDARD_INFORMATION::kKeptBytes);
    std::memcpy(standardInformation.bytes.data(), v.data(), keep);
}

void MFT_RECORD::readFileName(const ByteReader& v) {
    v.require(0, FILE_NAME_ENTRY::kName);
    FILE_NAME_ENTRY fn;
    std::memcpy(fn.head.data(), v.data(), FILE_NAME_ENTRY::kHeadBytes);
    std::size_t units = v.u8(FILE_NAME_ENTRY::kNameLength);
    fn.nameSpace = v.u8(FILE_NAME_ENTRY::kNamespace);
    fn.name = readName(v, FILE_NAME_ENTRY::kName, units);
    fileNames.push_back(std::move(fn));
}

DATA_ATTRIBUTE MFT_RECORD::decodeData(const ByteReader& a, std::size_t attrPos, bool compressed,
                                      const NTFS_GEOMETRY& geometry) const {
    DATA_ATTRIBUTE d;
    d.type = kTypeData;
    d.nonResident = a.u8(Attr::kNonResident) != 0;
    d.nameLength = a.u8(Attr::kNameLength);
    std::uint16_t aflags = a.u16(Attr::kFlags);
    d.compressed = (aflags & Attr::kFlagCompressionMask) != 0;
    d.sparse = (aflags & Attr::kFlagSparse) != 0;
    d.attributeId = a.u16(Attr::kId);
    if (d.nameLength != 0) d.name = readName(a, a.u16(Attr::kNameOffset), d.nameLength);
    if (d.nonResident) {
        d.startingVcn = static_cast<std::int64_t>(a.u64(Attr::kStartVcn));
        d.lastVcn = static_cast<std::int64_t>(a.u64(Attr::kLastVcn));
        d.compressionUnit = a.u16(Attr::kCompressionUnit);
        d.allocatedSize = a.u64(Attr::kAllocatedSize);
        d.dataSize = a.u64(Attr::kDataSize);
        d.initializedSize = a.u64(Attr::kInitializedSize);
        std::size_t runOff = a.u16(Attr::kRunListOffset);
        if (runOff > a.size()) throw ErrorException(kErrRunlistField, kDiagRunListOffset);
        // A compressed record decodes with the compressed decoder;
        // uncompressed streams may hold sparse runs (NTFS 3.0 and later).
        // Runs naming clusters outside the volume don't fail the record:
        // the list keeps the fault and raises it when its runs are read
        // (by a restore), so that a deleted file whose runs are damaged
        // is still found, as it was before the runs were checked here.
        RUN_LIST::Kind kind = compressed ? RUN_LIST::Kind::Compressed : RUN_LIST::Kind::OrdinaryAllowSparse;
        d.runs = RUN_LIST(a.data() + runOff, a.data() + a.size(), d.startingVcn, d.lastVcn, kind,
                          runContext(geometry, attrPos + runOff));
    } else {
        const ByteReader v = residentValue(a);
        if (keepResidentValues) d.value.assign(v.data(), v.data() + v.size());
        d.valueLength = static_cast<std::uint32_t>(v.size());
        d.residentFlags = a.u16(Attr::kResidentFlags);
        d.dataSize = v.size();
        d.initializedSize = v.size();
        d.allocatedSize = v.size();
    }
    return d;
}

void MFT_RECORD::addNonResidentList(const std::uint8_t* attr, std::size_t attrLength, std::size_t attrPos,
                                    const NTFS_GEOMETRY& geometry) {
    ByteReader a(attr, attrLength, kErrRecordFormat, kDiagWalkBounds);
    NonResidentList list;
    list.dataSize = a.u64(Attr::kDataSize);
    if (list.dataSize > kMaxAttributeListBytes) throw ErrorException(kErrRecordFormat, kDiagListTooLarge);
    std::size_t runOff = a.u16(Attr::kRunListOffset);
    if (runOff > attrLength) throw ErrorException(kErrRunlistField, kDiagRunListOffset);
    // A sparse run here is a format error. The list is needed to open the
    // record at all, so runs outside the volume fail the record here too
    // (totalClusters() reads the runs).
    list.runs = RUN_LIST(attr + runOff, attr + attrLength, static_cast<std::int64_t>(a.u64(Attr::kStartVcn)),
                         static_cast<std::int64_t>(a.u64(Attr::kLastVcn)), RUN_LIST::Kind::Ordinary,
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
