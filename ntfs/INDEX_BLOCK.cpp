#include "ntfs/INDEX_BLOCK.h"

#include <cstring>

#include "core/ErrorException.h"
#include "core/TextUtf.h"
#include "ntfs/AttributeHeader.h"
#include "ntfs/FILE_NAME_ENTRY.h"
#include "ntfs/UpdateSequence.h"

namespace resurgo {

namespace {

using Attr = AttributeHeader;

// Attribute header fields read by the directory-record walk.
constexpr std::uint32_t kTypeEnd = 0xFFFFFFFF;
// File record header fields the walk needs.
constexpr std::size_t kRecordFirstAttribute = 0x14;
constexpr std::size_t kRecordBytesInUse = 0x18;

const char* const kDiagBlock = "INDEX_BLOCK::parse <Index block out of place>";
const char* const kDiagRecord = "INDEX_BLOCK::readDirectoryRecord <Attribute out of record>";

// The directory index's attribute name, "$I30", as stored (UTF-16LE).
const std::uint8_t kI30[] = {'$', 0, 'I', 0, '3', 0, '0', 0};

// Sane bounds of a left-over entry's fields. Records: NTFS numbers them in
// 32 bits in practice (the MFT's bitmap and the record count are 32-bit).
constexpr std::uint64_t kMaxRecordNumber = 0xFFFFFFFFULL;
// Times: 1980-01-01 to 2100-01-01 as FILETIMEs (100 ns since 1601).
constexpr std::uint64_t kEarliestTime = 119600064000000000ULL;
constexpr std::uint64_t kLatestTime = 157468992000000000ULL;

// units UTF-16LE code units at bytes: well-formed (surrogates paired), with
// neither NUL nor '/', which no NTFS name holds.
bool validName(const std::uint8_t* bytes, std::size_t units) {
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint16_t u = static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        if (u == 0 || u == '/') return false;
        if (u >= 0xDC00 && u <= 0xDFFF) return false;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= units) return false;
            const std::uint16_t low = static_cast<std::uint16_t>(bytes[2 * i + 2] | (bytes[2 * i + 3] << 8));
            if (low < 0xDC00 || low > 0xDFFF) return false;
            ++i;
        }
    }
    return true;
}

bool saneTime(std::uint64_t t) { return t >= kEarliestTime && t <= kLatestTime; }

bool plausibleReference(std::uint64_t raw) {
    const FILE_REFERENCE ref(raw);
    return ref.recordNumber() <= kMaxRecordNumber && ref.sequence() != 0;
}

std::size_t alignUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

bool namedI30(const ByteReader& a) {
    if (a.u8(Attr::kNameLength) != 4) return false;
    const std::size_t at = a.u16(Attr::kNameOffset);
    return a.contains(at, sizeof kI30) && std::memcmp(a.data() + at, kI30, sizeof kI30) == 0;
}

} // namespace

INDEX_BLOCK::INDEX_BLOCK() = default;
INDEX_BLOCK::~INDEX_BLOCK() = default;

std::size_t INDEX_BLOCK::announcedBytes(const std::uint8_t* bytes, std::size_t length) {
    if (length < kNodeHeader + kNodeBytes || std::memcmp(bytes + kSignature, "INDX", 4) != 0) return 0;
    const ByteReader r(bytes, length, kErrRecordFormat, kDiagBlock);
    const std::size_t count = r.u16(kUsaCount);
    if (count < 2) return 0;
    const std::size_t size = (count - 1) * kStride;
    return size <= kMaxBlockBytes && (size & (size - 1)) == 0 ? size : 0;
}

void INDEX_BLOCK::parse(std::uint8_t* bytes, std::size_t length) {
    const std::size_t size = announcedBytes(bytes, length);
    if (size == 0 || size != length) throw ErrorException(kErrRecordFormat, kDiagBlock);
    UpdateSequence::apply(bytes, length, kNodeHeader + kNodeBytes, {kDiagBlock, kDiagBlock, kDiagBlock});
    const ByteReader r(bytes, length, kErrRecordFormat, kDiagBlock);
    vcn = r.u64(kVcn);
    names.clear();
    slackNames.clear();
    const ByteReader node = r.sub(kNodeHeader, length - kNodeHeader);
    decodeNode(node, names);
    decodeSlack(node, slackNames);
}

bool INDEX_BLOCK::readEntry(const ByteReader& node, std::size_t pos, std::size_t entryLength, INDEX_NAME& n) {
    const std::size_t keyLength = node.u16(pos + kEntryKeyLength);
    if (keyLength < FILE_NAME_ENTRY::kName || kEntryKey + keyLength > entryLength) return false;
    const ByteReader key = node.sub(pos + kEntryKey, keyLength);
    const std::size_t units = key.u8(FILE_NAME_ENTRY::kNameLength);
    if (units == 0 || !key.contains(FILE_NAME_ENTRY::kName, units * 2)) return false;
    n.child.assign(node.u64(pos + kEntryReference));
    n.parent.assign(key.u64(FILE_NAME_ENTRY::kParent));
    n.nameSpace = key.u8(FILE_NAME_ENTRY::kNamespace);
    n.dataSize = key.u64(FILE_NAME_ENTRY::kDataSize);
    n.created = key.u64(FILE_NAME_ENTRY::kCreationTime);
    n.modified = key.u64(FILE_NAME_ENTRY::kModificationTime);
    n.accessed = key.u64(FILE_NAME_ENTRY::kAccessTime);
    n.isDirectory = (key.u32(FILE_NAME_ENTRY::kFileAttributes) & kAttrDirectory) != 0;
    n.name = TextUtf::fromUtf16Le(key.data() + FILE_NAME_ENTRY::kName, units);
    return true;
}

void INDEX_BLOCK::decodeNode(const ByteReader& node, std::vector<INDEX_NAME>& out) {
    const std::size_t first = node.u32(kNodeEntriesOffset);
    const std::size_t used = node.u32(kNodeIndexLength);
    // The entries end where the node says, and never past its bytes.
    const std::size_t end = used < node.size() ? used : node.size();
    std::size_t pos = first;
    while (pos + kEntryKey <= end) {
        const std::size_t entryLength = node.u16(pos + kEntryLength);
        const std::uint16_t flags = node.u16(pos + kEntryFlags);
        if (entryLength < kEntryKey || (entryLength & 7) != 0 || entryLength > end - pos) break;
        if ((flags & kEntryLast) != 0) break;
        INDEX_NAME n;
        if (readEntry(node, pos, entryLength, n)) out.push_back(std::move(n));
        pos += entryLength;
    }
}

bool INDEX_BLOCK::slackEntry(const ByteReader& node, std::size_t pos, std::size_t end, INDEX_NAME& n,
                             std::size_t& entryLength) {
    if (end - pos < kEntryKey + FILE_NAME_ENTRY::kName) return false;
    const std::uint16_t flags = node.u16(pos + kEntryFlags);
    if ((flags & ~(kEntrySubnode | kEntryLast)) != 0 || (flags & kEntryLast) != 0) return false;
    // A $FILE_NAME key is its head and its name, nothing more; the entry is
    // the key rounded up to 8 bytes, and a subnode's VCN after it.
    const std::size_t keyLength = node.u16(pos + kEntryKeyLength);
    if (keyLength < FILE_NAME_ENTRY::kName + 2) return false;
    const std::size_t units = (keyLength - FILE_NAME_ENTRY::kName) / 2;
    if (FILE_NAME_ENTRY::kName + 2 * units != keyLength) return false;
    entryLength = node.u16(pos + kEntryLength);
    const std::size_t expected = alignUp(kEntryKey + keyLength, kEntryAlign) +
                                 ((flags & kEntrySubnode) != 0 ? kEntrySubnodeVcnBytes : 0);
    if (entryLength != expected || entryLength > end - pos) return false;
    const ByteReader key = node.sub(pos + kEntryKey, keyLength);
    if (key.u8(FILE_NAME_ENTRY::kNameLength) != units) return false;
    if (key.u8(FILE_NAME_ENTRY::kNamespace) > FILE_NAME_ENTRY::kWin32AndDos) return false;
    if (!validName(key.data() + FILE_NAME_ENTRY::kName, units)) return false;
    if (!plausibleReference(node.u64(pos + kEntryReference)) || !plausibleReference(key.u64(FILE_NAME_ENTRY::kParent))) {
        return false;
    }
    for (const std::size_t at : {FILE_NAME_ENTRY::kCreationTime, FILE_NAME_ENTRY::kModificationTime,
                                 FILE_NAME_ENTRY::kMftChangeTime, FILE_NAME_ENTRY::kAccessTime}) {
        if (!saneTime(key.u64(at))) return false;
    }
    if (key.u64(FILE_NAME_ENTRY::kAllocatedSize) < key.u64(FILE_NAME_ENTRY::kDataSize)) return false;
    return readEntry(node, pos, entryLength, n);
}

void INDEX_BLOCK::decodeSlack(const ByteReader& node, std::vector<INDEX_NAME>& out) {
    const std::size_t allocated = node.u32(kNodeAllocated);
    const std::size_t end = allocated < node.size() ? allocated : node.size();
    // Each position is looked at once or skipped over: at most end / 8 steps.
    std::size_t pos = alignUp(node.u32(kNodeIndexLength), kEntryAlign);
    while (pos < end && end - pos >= kEntryKey) {
        INDEX_NAME n;
        std::size_t entryLength = 0;
        if (slackEntry(node, pos, end, n, entryLength)) {
            out.push_back(std::move(n));
            pos += entryLength;
        } else {
            pos += kEntryAlign;
        }
    }
}

void INDEX_BLOCK::readDirectoryRecord(const std::uint8_t* record, std::size_t length, std::vector<INDEX_NAME>& rootNames,
                                      std::optional<RUN_LIST>& allocation) {
    allocation.reset();
    const ByteReader rec(record, length, kErrRecordFormat, kDiagRecord);
    const std::size_t end = rec.u32(kRecordBytesInUse) < length ? rec.u32(kRecordBytesInUse) : length;
    std::size_t pos = rec.u16(kRecordFirstAttribute);
    // An attribute is at least a resident header long: the walk ends.
    for (unsigned visited = 0; visited < 256 && pos + Attr::kResidentBytes <= end; ++visited) {
        const std::uint32_t type = rec.u32(pos + Attr::kType);
        if (type == kTypeEnd) break;
        const std::size_t attrLength = rec.u32(pos + Attr::kLength);
        if (attrLength < Attr::kResidentBytes || attrLength > end - pos || (attrLength & 7) != 0) {
            throw ErrorException(kErrRecordFormat, kDiagRecord);
        }
        const ByteReader a = rec.sub(pos, attrLength);
        const bool nonResident = a.u8(Attr::kNonResident) != 0;
        if (type == kTypeIndexRoot && !nonResident && namedI30(a)) {
            const std::size_t valueLength = a.u32(Attr::kValueLength);
            const std::size_t valueOffset = a.u16(Attr::kValueOffset);
            const ByteReader value = a.sub(valueOffset, valueLength);
            if (value.contains(kRootNodeHeader, kNodeBytes)) {
                decodeNode(value.sub(kRootNodeHeader, valueLength - kRootNodeHeader), rootNames);
            }
        } else if (type == kTypeIndexAllocation && nonResident && attrLength >= Attr::kNonResidentBytes && namedI30(a)) {
            const std::size_t runs = a.u16(Attr::kRunListOffset);
            if (runs > attrLength) throw ErrorException(kErrRecordFormat, kDiagRecord);
            allocation.emplace(a.data() + runs, a.data() + attrLength, static_cast<std::int64_t>(a.u64(Attr::kStartVcn)),
                               static_cast<std::int64_t>(a.u64(Attr::kLastVcn)), RUN_LIST::Kind::Ordinary);
        }
        pos += attrLength;
    }
}

} // namespace resurgo
