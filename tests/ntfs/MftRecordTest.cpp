// MFT records assembled byte by byte: update-sequence fixup, the attribute
// walk (standard information, names, data, attribute lists) and the bounds
// that keep every read inside the record.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/ErrorException.h"
#include "ntfs/MFT_RECORD.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "support/TestSupport.h"
#include "volume/Volume.h"

using namespace resurgo;
using resurgo::test::raised;

namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, std::size_t off, std::uint64_t v) {
    for (int i = 0; i < 2; ++i) b.at(off + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(v >> (8 * i));
}
void put32(Bytes& b, std::size_t off, std::uint64_t v) {
    for (int i = 0; i < 4; ++i) b.at(off + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(v >> (8 * i));
}
void put64(Bytes& b, std::size_t off, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b.at(off + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(v >> (8 * i));
}
std::size_t align8(std::size_t v) { return (v + 7) & ~std::size_t{7}; }
Bytes utf16(const std::u16string& s) {
    Bytes b;
    for (char16_t c : s) {
        b.push_back(static_cast<std::uint8_t>(c & 0xFF));
        b.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return b;
}
Bytes ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::uint64_t ref(std::uint64_t record, std::uint16_t sequence) {
    return record | (static_cast<std::uint64_t>(sequence) << 48);
}

constexpr std::uint32_t kStdInfo = 0x10, kAttrList = 0x20, kFileName = 0x30, kData = 0x80;

Bytes resident(std::uint32_t type, const Bytes& value, const std::u16string& name = u"", std::uint16_t flags = 0) {
    std::size_t valueOff = align8(0x18 + 2 * name.size());
    Bytes a(align8(valueOff + value.size()), 0);
    put32(a, 0x00, type);
    put32(a, 0x04, a.size());
    a[0x09] = static_cast<std::uint8_t>(name.size());
    put16(a, 0x0A, 0x18);
    put16(a, 0x0C, flags);
    put32(a, 0x10, value.size());
    put16(a, 0x14, valueOff);
    Bytes n = utf16(name);
    std::copy(n.begin(), n.end(), a.begin() + 0x18);
    std::copy(value.begin(), value.end(), a.begin() + static_cast<std::ptrdiff_t>(valueOff));
    return a;
}

Bytes nonResident(std::uint32_t type, const Bytes& runs, std::int64_t startVcn, std::int64_t lastVcn,
                  std::uint64_t dataSize, const std::u16string& name = u"", std::uint16_t flags = 0) {
    std::size_t runOff = align8(0x40 + 2 * name.size());
    Bytes a(align8(runOff + runs.size()), 0);
    put32(a, 0x00, type);
    put32(a, 0x04, a.size());
    a[0x08] = 1;
    a[0x09] = static_cast<std::uint8_t>(name.size());
    put16(a, 0x0A, 0x40);
    put16(a, 0x0C, flags);
    put64(a, 0x10, static_cast<std::uint64_t>(startVcn));
    put64(a, 0x18, static_cast<std::uint64_t>(lastVcn));
    put16(a, 0x20, runOff);
    put16(a, 0x22, (flags & 0xFF) ? 4 : 0);
    put64(a, 0x28, align8(dataSize));
    put64(a, 0x30, dataSize);
    put64(a, 0x38, dataSize);
    Bytes n = utf16(name);
    std::copy(n.begin(), n.end(), a.begin() + 0x40);
    std::copy(runs.begin(), runs.end(), a.begin() + static_cast<std::ptrdiff_t>(runOff));
    return a;
}

Bytes standardInformation(std::uint64_t created, std::uint64_t modified, std::uint32_t fileAttributes) {
    Bytes v(0x48, 0xAB);  // NTFS 3 size; only the first 48 bytes are kept
    put64(v, 0x00, created);
    put64(v, 0x08, modified);
    put64(v, 0x10, modified + 1);
    put64(v, 0x18, modified + 2);
    put32(v, 0x20, fileAttributes);
    return resident(kStdInfo, v);
}

Bytes fileNameValue(std::uint64_t parent, const std::u16string& name, std::uint8_t nameSpace) {
    Bytes v(0x42, 0);
    put64(v, 0x00, parent);
    put64(v, 0x08, 0x01D0000000000001ULL);
    put64(v, 0x10, 0x01D0000000000002ULL);
    put64(v, 0x20, 0x01D0000000000004ULL);
    v[0x40] = static_cast<std::uint8_t>(name.size());
    v[0x41] = nameSpace;
    Bytes n = utf16(name);
    v.insert(v.end(), n.begin(), n.end());
    return v;
}
Bytes fileName(const std::u16string& name, std::uint8_t nameSpace, std::uint64_t parent = ref(5, 5)) {
    return resident(kFileName, fileNameValue(parent, name, nameSpace));
}

Bytes listEntry(std::uint32_t type, std::uint64_t startVcn, std::uint64_t reference, std::uint16_t id,
                const std::u16string& name = u"") {
    Bytes e(align8(0x1A + 2 * name.size()), 0);
    put32(e, 0x00, type);
    put16(e, 0x04, e.size());
    e[0x06] = static_cast<std::uint8_t>(name.size());
    e[0x07] = 0x1A;
    put64(e, 0x08, startVcn);
    put64(e, 0x10, reference);
    put16(e, 0x18, id);
    Bytes n = utf16(name);
    std::copy(n.begin(), n.end(), e.begin() + 0x1A);
    return e;
}
Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Lays out a record: header, update-sequence array, attributes (numbered
// in order), end marker; build() then protects every 512-byte stride.
class RecordBuilder {
public:
    explicit RecordBuilder(std::size_t size = 1024, std::uint16_t usaOffset = 0x30) : size_(size), usa_(usaOffset) {}
    RecordBuilder& add(Bytes attr) {
        put16(attr, 0x0E, attrs_.size());
        attrs_.push_back(std::move(attr));
        return *this;
    }
    std::size_t usaCount() const { return size_ / 512 + 1; }
    std::size_t firstAttribute() const { return align8(usa_ + 2 * usaCount()); }
    std::size_t attrOffset(std::size_t i) const {
        std::size_t pos = firstAttribute();
        for (std::size_t k = 0; k < i; ++k) pos += attrs_[k].size();
        return pos;
    }
    // The record as it is meant to read after fixup.
    Bytes layout() const {
        Bytes r(size_, 0);
        std::memcpy(r.data(), "FILE", 4);
        put16(r, 0x04, usa_);
        put16(r, 0x06, usaCount());
        put16(r, 0x10, sequence);
        put16(r, 0x12, 2);
        put16(r, 0x14, firstAttribute());
        put16(r, 0x16, flags);
        std::size_t pos = attrOffset(attrs_.size());
        put32(r, pos, 0xFFFFFFFFu);
        put32(r, 0x18, pos + 8);
        put32(r, 0x1C, size_);
        put64(r, 0x20, baseReference);
        put16(r, 0x28, nextInstance.value_or(static_cast<std::uint16_t>(attrs_.size())));
        for (std::size_t i = 0; i < attrs_.size(); ++i) {
            std::copy(attrs_[i].begin(), attrs_[i].end(), r.begin() + static_cast<std::ptrdiff_t>(attrOffset(i)));
        }
        // The array holds the true last word of every stride.
        put16(r, usa_, usn);
        for (std::size_t i = 0; i < size_ / 512; ++i) {
            std::size_t last = (i + 1) * 512 - 2;
            r[usa_ + 2 + 2 * i] = r[last];
            r[usa_ + 3 + 2 * i] = r[last + 1];
        }
        return r;
    }
    // The record as written to disk: every stride ends in the sequence number.
    Bytes build() const {
        Bytes r = layout();
        for (std::size_t last = 510; last < size_; last += 512) put16(r, last, usn);
        return r;
    }

    std::uint16_t flags = MFT_RECORD::kFlagInUse;
    std::uint16_t sequence = 7;
    std::uint16_t usn = 0x0102;
    std::uint64_t baseReference = 0;
    std::optional<std::uint16_t> nextInstance;

private:
    std::size_t size_;
    std::uint16_t usa_;
    std::vector<Bytes> attrs_;
};

NTFS_GEOMETRY geometry() {
    NTFS_GEOMETRY g;
    g.init("mem:x", 512, 1, -10, 16, 2, 1);
    return g;
}

MFT_RECORD parsed(Bytes rec, std::optional<bool> compressed = std::nullopt, Volume* volume = nullptr) {
    MFT_RECORD r;
    r.parse(rec.data(), rec.size(), volume, geometry(), compressed);
    return r;
}

void expectParseError(Bytes rec, int code, const std::string& diag, Volume* volume = nullptr) {
    ErrorException e = raised([&] { parsed(std::move(rec), std::nullopt, volume); });
    EXPECT_EQ(e.code(), code);
    EXPECT_EQ(e.diagnostic(), diag);
}

Bytes pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return b;
}

const char* const kCount = "MFT_RECORD::fixup <Fixup count check>";
const char* const kWord = "MFT_RECORD::fixup <Fixup word check>";
const char* const kOffset = "MFT_RECORD::fixup <Fixup offset check>";
const char* const kLength = "MFT_RECORD::walk <Attribute length check>";
const char* const kOut = "MFT_RECORD::walk <Attribute out of record>";
const char* const kListOut = "MFT_RECORD::walk <Attribute list entry out of list>";

} // namespace

// ---- update-sequence fixup ----

TEST(MftFixup, RestoresTheLastWordOfEveryStride) {
    for (std::size_t size : {1024u, 4096u}) {
        SCOPED_TRACE(size);
        RecordBuilder b(size);
        Bytes content = pattern(size - 0x100);  // one value across every stride end
        b.add(resident(kData, content));
        Bytes rec = b.build();
        for (std::size_t last = 510; last < size; last += 512) EXPECT_EQ(rec[last] | (rec[last + 1] << 8), b.usn);
        Bytes fixed = rec;
        MFT_RECORD::fixup(fixed.data(), fixed.size());
        EXPECT_EQ(fixed, b.layout());
        MFT_RECORD r = parsed(rec);
        ASSERT_EQ(r.dataAttributes.size(), 1u);
        EXPECT_EQ(r.dataAttributes[0].value, content);
    }
}

TEST(MftFixup, CountMustBeOnePlusTheNumberOfStrides) {
    for (std::uint16_t count : {2, 4, 0}) {
        Bytes rec = RecordBuilder(1024).add(standardInformation(1, 2, 0)).build();
        put16(rec, 0x06, count);
        expectParseError(rec, kErrRecordFormat, kCount);
    }
    Bytes big = RecordBuilder(4096).build();
    put16(big, 0x06, 8);
    expectParseError(big, kErrRecordFormat, kCount);
    // A length that is not whole strides.
    Bytes rec = RecordBuilder(1024).build();
    rec.resize(1000);
    EXPECT_EQ(raised([&] { MFT_RECORD::fixup(rec.data(), rec.size()); }).diagnostic(), kCount);
}

TEST(MftFixup, StrideEndWordMustMatchTheSequenceNumber) {
    for (std::size_t size : {1024u, 4096u}) {
        for (std::size_t last = 510; last < size; last += 512) {
            SCOPED_TRACE(last);
            Bytes rec = RecordBuilder(size).build();
            rec[last] ^= 0x01;
            expectParseError(rec, kErrRecordFormat, kWord);
        }
    }
}

TEST(MftFixup, ArrayIsWhereTheHeaderSays) {
    // Older layout: array at 0x2A, attributes from 0x30.
    RecordBuilder legacy(1024, 0x2A);
    legacy.add(fileName(u"old.txt", 1));
    MFT_RECORD r = parsed(legacy.build());
    ASSERT_EQ(r.fileNames.size(), 1u);
    EXPECT_EQ(r.fileNames[0].name, "old.txt");
    EXPECT_EQ(r.firstAttributeOffset, 0x30);

    // Newer layout: the word at 0x2A means nothing.
    Bytes rec = RecordBuilder(1024, 0x30).build();
    ASSERT_NE(rec[0x2A] | (rec[0x2B] << 8), 0x0102);
    EXPECT_NO_THROW(parsed(rec));

    // Arrays that are odd, inside the header or leave the first stride.
    for (std::uint16_t usa : {0x31, 0x26, 0x10, 0x1FC, 0xFFFE}) {
        SCOPED_TRACE(usa);
        Bytes bad = RecordBuilder(1024, 0x30).build();
        put16(bad, 0x04, usa);
        expectParseError(bad, kErrRecordFormat, kOffset);
    }
}

TEST(MftFixup, SignatureAndMinimumLength) {
    Bytes rec = RecordBuilder().build();
    std::memcpy(rec.data(), "BAAD", 4);
    expectParseError(rec, kErrRecordFormat, "MFT_RECORD::fixup <Signature check>");
    Bytes tiny(0x20, 0);
    std::memcpy(tiny.data(), "FILE", 4);
    EXPECT_EQ(raised([&] { MFT_RECORD::fixup(tiny.data(), tiny.size()); }).diagnostic(),
              "MFT_RECORD::fixup <Signature check>");
}

// ---- attribute walk ----

TEST(MftWalk, HeaderStandardInformationNamesAndData) {
    RecordBuilder b;
    b.flags = MFT_RECORD::kFlagInUse | MFT_RECORD::kFlagDirectory;
    b.baseReference = ref(70000, 9);
    b.add(standardInformation(0x01D9000000000000ULL, 0x01DA000000000000ULL, 0x20))
        .add(fileName(u"Report 2026.txt", 1, ref(0x123456789ABCULL, 4)))
        .add(fileName(u"REPORT~1.TXT", 2))
        .add(resident(kData, ascii("hello")))
        .add(nonResident(kData, {0x21, 0x10, 0x00, 0x01, 0x00}, 0, 15, 0xFF00, u"thumbnail.cache"));
    MFT_RECORD r = parsed(b.build());

    EXPECT_EQ(r.sequenceNumber, 7);
    EXPECT_EQ(r.hardLinkCount, 2);
    EXPECT_TRUE(r.inUse());
    EXPECT_TRUE(r.isDirectory());
    EXPECT_EQ(r.baseReference.recordNumber(), 70000u);
    EXPECT_EQ(r.baseReference.sequence(), 9);
    EXPECT_EQ(r.nextInstance, 5);
    EXPECT_EQ(r.bytesAllocated, 1024u);
    EXPECT_EQ(r.bytesInUse, b.attrOffset(5) + 8);
    EXPECT_TRUE(r.standardInformationFound && r.fileNameFound && r.dataFound);
    EXPECT_FALSE(r.attributeListFound);

    EXPECT_EQ(r.standardInformation.creationTime(), 0x01D9000000000000ULL);
    EXPECT_EQ(r.standardInformation.modificationTime(), 0x01DA000000000000ULL);
    EXPECT_EQ(r.standardInformation.accessTime(), 0x01DA000000000002ULL);
    EXPECT_EQ(r.standardInformation.fileAttributes(), 0x20u);

    ASSERT_EQ(r.fileNames.size(), 2u);  // record order, no namespace preferred
    EXPECT_EQ(r.fileNames[0].name, "Report 2026.txt");
    EXPECT_EQ(r.fileNames[0].nameSpace, FILE_NAME_ENTRY::kWin32);
    EXPECT_EQ(r.fileNames[0].parent().recordNumber(), 0x123456789ABCULL);
    EXPECT_EQ(r.fileNames[0].parent().sequence(), 4);
    EXPECT_EQ(r.fileNames[0].creationTime(), 0x01D0000000000001ULL);
    EXPECT_EQ(r.fileNames[0].accessTime(), 0x01D0000000000004ULL);
    EXPECT_EQ(r.fileNames[1].name, "REPORT~1.TXT");
    EXPECT_EQ(r.fileNames[1].nameSpace, FILE_NAME_ENTRY::kDos);

    ASSERT_EQ(r.dataAttributes.size(), 2u);
    const DATA_ATTRIBUTE& unnamed = r.dataAttributes[0];
    EXPECT_TRUE(unnamed.isUnnamed());
    EXPECT_FALSE(unnamed.nonResident);
    EXPECT_EQ(unnamed.value, ascii("hello"));
    EXPECT_EQ(unnamed.valueLength, 5u);
    EXPECT_EQ(unnamed.dataSize, 5u);
    EXPECT_EQ(unnamed.attributeId, 3);
    EXPECT_TRUE(unnamed.runs.empty());
    const DATA_ATTRIBUTE& stream = r.dataAttributes[1];
    EXPECT_FALSE(stream.isUnnamed());
    EXPECT_EQ(stream.name, "thumbnail.cache");
    EXPECT_EQ(stream.nameLength, 15);
    EXPECT_TRUE(stream.nonResident);
    EXPECT_FALSE(stream.compressed);
    EXPECT_EQ(stream.lastVcn, 15);
    EXPECT_EQ(stream.dataSize, 0xFF00u);
    ASSERT_EQ(stream.runs.size(), 1u);
    EXPECT_EQ(stream.runs[0].lcn, 0x100);
    EXPECT_EQ(stream.runs[0].length, 0x10u);
    EXPECT_TRUE(stream.value.empty());
}

TEST(MftWalk, NamesAreConvertedToUtf8InFull) {
    const std::u16string unpaired{0xD800, u'a', 0xDC00};
    RecordBuilder b;
    b.add(fileName(u"Отчёт за год.docx", 0))
        .add(fileName(u"報告書.txt", 3))
        .add(fileName(u"\U0001F600.png", 1))
        .add(fileName(unpaired, 1))
        .add(resident(kData, ascii("x"), u"Поток"));
    MFT_RECORD r = parsed(b.build());
    ASSERT_EQ(r.fileNames.size(), 4u);
    EXPECT_EQ(r.fileNames[0].name, u8"Отчёт за год.docx");
    EXPECT_EQ(r.fileNames[0].nameSpace, FILE_NAME_ENTRY::kPosix);
    EXPECT_EQ(r.fileNames[1].name, u8"報告書.txt");
    EXPECT_EQ(r.fileNames[1].nameSpace, FILE_NAME_ENTRY::kWin32AndDos);
    EXPECT_EQ(r.fileNames[2].name, "\xF0\x9F\x98\x80.png");
    EXPECT_EQ(r.fileNames[3].name, "\xEF\xBF\xBD" "a" "\xEF\xBF\xBD");
    ASSERT_EQ(r.dataAttributes.size(), 1u);
    EXPECT_EQ(r.dataAttributes[0].name, u8"Поток");

    // 255 two-byte characters: 510 bytes of UTF-8, nothing cut.
    std::u16string longName(255, u'Ж');
    MFT_RECORD lr = parsed(RecordBuilder().add(fileName(longName, 1)).build());
    ASSERT_EQ(lr.fileNames.size(), 1u);
    std::string expected;
    for (int i = 0; i < 255; ++i) expected += u8"Ж";
    EXPECT_EQ(lr.fileNames[0].name, expected);
}

TEST(MftWalk, NextInstanceBoundsTheAttributesVisited) {
    RecordBuilder b;
    b.add(standardInformation(1, 2, 0)).add(fileName(u"a", 1)).add(resident(kData, ascii("d")));
    b.nextInstance = 0;
    MFT_RECORD none = parsed(b.build());
    EXPECT_FALSE(none.standardInformationFound || none.fileNameFound || none.dataFound || none.attributeListFound);
    b.nextInstance = 1;
    MFT_RECORD one = parsed(b.build());
    EXPECT_TRUE(one.standardInformationFound);
    EXPECT_FALSE(one.fileNameFound || one.dataFound);
}

TEST(MftWalk, OtherAttributeTypesAreSkipped) {
    RecordBuilder b;
    b.add(resident(0x50, Bytes(24, 1)))                   // security descriptor
        .add(resident(0x90, Bytes(32, 2), u"$I30"))       // index root
        .add(nonResident(0xA0, {0x11, 0x01, 0x30, 0x00}, 0, 0, 4096, u"$I30"))
        .add(resident(0xB0, Bytes(8, 0xFF), u"$I30"));    // bitmap
    MFT_RECORD r = parsed(b.build());
    EXPECT_FALSE(r.standardInformationFound || r.fileNameFound || r.dataFound || r.attributeListFound);
    EXPECT_TRUE(r.fileNames.empty() && r.dataAttributes.empty() && r.attributeList.empty());
}

TEST(MftWalk, CompressedStandardInformationSelectsTheCompressedDecoder) {
    // 12 clusters at 0x40, 4 sparse, 16 clusters 0x20 further on.
    const Bytes runs{0x11, 0x0C, 0x40, 0x01, 0x04, 0x11, 0x10, 0x20, 0x00};
    auto record = [&](std::uint32_t fileAttributes, bool withStdInfo) {
        RecordBuilder b;
        if (withStdInfo) b.add(standardInformation(1, 2, fileAttributes));
        b.add(nonResident(kData, runs, 0, 31, 32 * 512, u"", 0x0001));
        return b.build();
    };
    MFT_RECORD comp = parsed(record(0x0800, true));
    ASSERT_EQ(comp.dataAttributes.size(), 1u);
    const RUN_LIST& c = comp.dataAttributes[0].runs;
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[1].cluster, 0);
    EXPECT_TRUE(c[1].sparse);
    EXPECT_EQ(c[2].cluster, 0x20);  // raw offset
    EXPECT_EQ(c[2].lcn, 0x60);
    EXPECT_TRUE(comp.dataAttributes[0].compressed);
    EXPECT_EQ(comp.dataAttributes[0].compressionUnit, 4);

    // Uncompressed: the same runs decode as an ordinary list with a hole.
    MFT_RECORD plain = parsed(record(0x20, true));
    const RUN_LIST& p = plain.dataAttributes[0].runs;
    ASSERT_EQ(p.size(), 3u);
    EXPECT_TRUE(p[1].sparse);
    EXPECT_EQ(p[2].cluster, 0x60);  // absolute

    // Extension records carry no standard information: the caller decides.
    EXPECT_EQ(parsed(record(0, false), true).dataAttributes[0].runs[2].cluster, 0x20);
    EXPECT_EQ(parsed(record(0x0800, true), false).dataAttributes[0].runs[2].cluster, 0x60);
}

TEST(MftWalk, EmptyResidentDataAndSparseFlag) {
    RecordBuilder b;
    b.add(resident(kData, {})).add(nonResident(kData, {0x01, 0x08, 0x00}, 0, 7, 4096, u"s", 0x8000));
    MFT_RECORD r = parsed(b.build());
    ASSERT_EQ(r.dataAttributes.size(), 2u);
    EXPECT_TRUE(r.dataFound);
    EXPECT_TRUE(r.dataAttributes[0].value.empty());
    EXPECT_EQ(r.dataAttributes[0].valueLength, 0u);
    EXPECT_TRUE(r.dataAttributes[1].sparse);
    EXPECT_FALSE(r.dataAttributes[1].compressed);
    ASSERT_EQ(r.dataAttributes[1].runs.size(), 1u);
    EXPECT_TRUE(r.dataAttributes[1].runs[0].sparse);
}

TEST(MftWalk, ResidentAttributeList) {
    const Bytes e1 = listEntry(kStdInfo, 0, ref(40, 3), 0);
    const Bytes e2 = listEntry(kFileName, 0, ref(40, 3), 2);
    const Bytes e3 = listEntry(kData, 0x1000, ref(41, 3), 5, u"Zone");
    // Entries up to the end of the value, no closing entry.
    MFT_RECORD r = parsed(RecordBuilder().add(resident(kAttrList, concat({e1, e2, e3}))).build());
    EXPECT_TRUE(r.attributeListFound);
    ASSERT_EQ(r.attributeList.size(), 3u);
    EXPECT_EQ(r.attributeList[0].type, kStdInfo);
    EXPECT_EQ(r.attributeList[1].attributeId, 2);
    EXPECT_EQ(r.attributeList[2].type, kData);
    EXPECT_EQ(r.attributeList[2].startingVcn, 0x1000u);
    EXPECT_EQ(r.attributeList[2].reference.recordNumber(), 41u);
    EXPECT_EQ(r.attributeList[2].name, "Zone");
    EXPECT_EQ(r.attributeList[0].name, "");

    // A zero-length entry ends the list; a short all-zero tail is slack.
    Bytes zero(0x20, 0);
    EXPECT_EQ(parsed(RecordBuilder().add(resident(kAttrList, concat({e1, zero, e3}))).build()).attributeList.size(), 1u);
    EXPECT_EQ(parsed(RecordBuilder().add(resident(kAttrList, concat({e1, e2, Bytes(8, 0)}))).build())
                  .attributeList.size(), 2u);
}

TEST(MftWalk, AttributeListEntriesStayInsideTheList) {
    const Bytes good = listEntry(kStdInfo, 0, ref(40, 3), 0);
    Bytes tooLong = listEntry(kData, 0, ref(41, 3), 1);
    put16(tooLong, 0x04, 0x100);
    Bytes tooShort = listEntry(kData, 0, ref(41, 3), 1);
    put16(tooShort, 0x04, 0x10);
    Bytes nameOut = listEntry(kData, 0, ref(41, 3), 1, u"ab");
    nameOut[0x06] = 40;
    for (const Bytes& value : {concat({good, tooLong}), concat({good, tooShort}), concat({good, nameOut}),
                               concat({good, Bytes{0, 0, 0, 0, 0, 0, 0, 1}})}) {
        expectParseError(RecordBuilder().add(resident(kAttrList, value)).build(), kErrRecordFormat, kListOut);
    }
}

// ---- bounds of the walk ----

TEST(MftBounds, AttributeLengthsAreChecked) {
    auto withLength = [](std::uint32_t length, bool nonResidentFlag = false) {
        RecordBuilder b;
        b.add(standardInformation(1, 2, 0)).add(resident(kData, ascii("payload"))).add(fileName(u"x", 1));
        Bytes rec = b.build();
        std::size_t at = b.attrOffset(1);
        put32(rec, at + 4, length);
        if (nonResidentFlag) rec[at + 8] = 1;
        return rec;
    };
    for (std::uint32_t len : {0u, 0x10u, 0x1Cu, 0x21u, 0x400u, 0xFFFFFFF8u}) {
        SCOPED_TRACE(len);
        expectParseError(withLength(len), kErrRecordFormat, kLength);
    }
    // Non-resident headers need 0x40 bytes.
    expectParseError(withLength(0x20, true), kErrRecordFormat, kLength);
    // Misaligned, even though an end marker waits right behind it.
    Bytes odd = resident(kData, ascii("abcd"));
    put32(odd, 0x04, 0x1C);
    put32(odd, 0x1C, 0xFFFFFFFFu);
    expectParseError(RecordBuilder().add(odd).build(), kErrRecordFormat, kLength);

    // Bytes allocated larger than the record: the walk still stops at the record's end.
    RecordBuilder b;
    b.add(resident(kData, ascii("payload")));
    Bytes rec = b.build();
    put32(rec, 0x1C, 4096);
    put32(rec, b.attrOffset(0) + 4, 0x800);
    expectParseError(rec, kErrRecordFormat, kLength);
}

TEST(MftBounds, ValuesAndNamesStayInsideTheirAttribute) {
    auto tampered = [](Bytes attr, std::size_t off, std::uint32_t value, int width) {
        RecordBuilder b;
        if (width == 1) attr[off] = static_cast<std::uint8_t>(value);
        if (width == 2) put16(attr, off, value);
        if (width == 4) put32(attr, off, value);
        b.add(std::move(attr));
        return b.build();
    };
    const Bytes data = resident(kData, ascii("payload"), u"s");
    expectParseError(tampered(data, 0x10, 0x1000, 4), kErrRecordFormat, kOut);      // value length
    expectParseError(tampered(data, 0x10, 0xFFFFFFFF, 4), kErrRecordFormat, kOut);
    expectParseError(tampered(data, 0x14, 0x300, 2), kErrRecordFormat, kOut);       // value offset
    expectParseError(tampered(data, 0x09, 100, 1), kErrRecordFormat, kOut);         // name length
    expectParseError(tampered(data, 0x0A, 0xFFF0, 2), kErrRecordFormat, kOut);      // name offset
    const Bytes stream = nonResident(kData, {0x11, 0x01, 0x20, 0x00}, 0, 0, 512, u"s");
    expectParseError(tampered(stream, 0x09, 200, 1), kErrRecordFormat, kOut);

    // File name values: shorter than their fixed part, or a name beyond the value.
    Bytes shortName = resident(kFileName, Bytes(0x30, 0));
    expectParseError(RecordBuilder().add(shortName).build(), kErrRecordFormat, kOut);
    Bytes fn = fileName(u"abc", 1);
    expectParseError(tampered(fn, 0x18 + 0x40, 0xFF, 1), kErrRecordFormat, kOut);
    // A standard information value too short for the file attributes.
    expectParseError(RecordBuilder().add(resident(kStdInfo, Bytes(0x20, 0))).build(), kErrRecordFormat,
                     "MFT_RECORD::walk <Standard information too short>");
    expectParseError(RecordBuilder().add(nonResident(kFileName, {0x11, 0x01, 0x20, 0x00}, 0, 0, 100)).build(),
                     kErrRecordFormat, "MFT_RECORD::walk <Non-resident filename attribut>");
}

TEST(MftBounds, RunListsStayInsideTheirAttribute) {
    // Two runs fill the attribute exactly; the VCN range asks for a third.
    const Bytes runs{0x21, 0x04, 0x00, 0x10, 0x21, 0x04, 0x00, 0x10};
    Bytes attr = nonResident(kData, runs, 0, 15, 16 * 512);
    ASSERT_EQ(attr.size(), 0x48u);
    // The next attribute's type (bytes 11 10 00 00) would read as one more
    // run of 16 clusters if the decoder left its attribute.
    Bytes lure = resident(0x1011, {});
    expectParseError(RecordBuilder().add(attr).add(lure).build(), kErrRunlistField,
                     "RUN_LIST::decompress_run <Unknown field type>");
    EXPECT_EQ(parsed(RecordBuilder().add(nonResident(kData, runs, 0, 7, 8 * 512)).build())
                  .dataAttributes[0].runs.size(), 2u);

    Bytes badOffset = nonResident(kData, runs, 0, 7, 8 * 512);
    put16(badOffset, 0x20, 0x50);
    EXPECT_EQ(raised([&] { parsed(RecordBuilder().add(badOffset).build()); }).code(), kErrRunlistField);
}

// ---- records and attribute lists read from a volume ----

class MftRecordOnDisk : public ::testing::Test {
protected:
    // 64 KiB volume, 512-byte clusters; the list lives at cluster 20.
    MftRecordOnDisk() : mem(Bytes(64 * 1024, 0)) {
        list = concat({listEntry(kStdInfo, 0, ref(40, 3), 0), listEntry(kData, 0, ref(41, 3), 5, u"Zone")});
        std::copy(list.begin(), list.end(), mem.image().begin() + 20 * 512);
        // Slack after the list's data size would not decode as entries.
        std::fill(mem.image().begin() + 20 * 512 + static_cast<std::ptrdiff_t>(list.size()),
                  mem.image().begin() + 21 * 512, 0xEE);
    }
    Bytes recordWith(const Bytes& runs, std::uint64_t dataSize) {
        return RecordBuilder().add(nonResident(kAttrList, runs, 0, 0, dataSize)).build();
    }
    test::MemoryPlatform mem;
    Bytes list;
};

TEST_F(MftRecordOnDisk, ReadsARecordAtItsSector) {
    // Records of 4096 bytes on 512-byte sectors start at sector 40.
    RecordBuilder b(4096);
    b.add(fileName(u"on-disk.bin", 1)).add(resident(kData, pattern(3000)));
    Bytes rec = b.build();
    std::copy(rec.begin(), rec.end(), mem.image().begin() + 40 * 512);
    Bytes other = RecordBuilder(4096).add(standardInformation(1, 2, 0)).build();
    std::copy(other.begin(), other.end(), mem.image().begin() + 60 * 512);
    ScopedPlatform guard(mem);
    Volume v;
    v.openLogical("mem:x");
    NTFS_GEOMETRY g = geometry();
    MFT_RECORD r;
    r.read(v, g, 40, 8);
    ASSERT_EQ(r.fileNames.size(), 1u);
    EXPECT_EQ(r.fileNames[0].name, "on-disk.bin");
    EXPECT_EQ(r.dataAttributes.at(0).value, pattern(3000));
    // One sector further on there is no record.
    EXPECT_EQ(raised([&] { r.read(v, g, 41, 8); }).diagnostic(), "MFT_RECORD::fixup <Signature check>");
    // A second read into the same object starts afresh.
    r.read(v, g, 60, 8);
    EXPECT_TRUE(r.standardInformationFound);
    EXPECT_FALSE(r.fileNameFound || r.dataFound);
    EXPECT_TRUE(r.fileNames.empty() && r.dataAttributes.empty());
    // The last record slot would end beyond the volume.
    EXPECT_EQ(raised([&] { r.read(v, g, 121, 8); }).code(), kErrReadDisk);
    v.close();
}

TEST_F(MftRecordOnDisk, ReadsEntriesUpToTheDataSize) {
    ScopedPlatform guard(mem);
    Volume v;
    v.openLogical("mem:x");
    MFT_RECORD r = parsed(recordWith({0x11, 0x01, 0x14, 0x00}, list.size()), std::nullopt, &v);
    v.close();
    EXPECT_TRUE(r.attributeListFound);
    ASSERT_EQ(r.attributeList.size(), 2u);
    EXPECT_EQ(r.attributeList[1].name, "Zone");
    EXPECT_EQ(r.attributeList[1].reference.recordNumber(), 41u);
}

TEST_F(MftRecordOnDisk, RefusesSparseHugeAndUnreadableLists) {
    ScopedPlatform guard(mem);
    Volume v;
    v.openLogical("mem:x");
    // A hole in an attribute list is a format error.
    expectParseError(recordWith({0x01, 0x01, 0x00}, list.size()), kErrRunlistSparse,
                     "RUN_LIST::decompress_run <Unwanted zero cluster number in noncompressed run>", &v);
    // Larger than NTFS ever writes.
    expectParseError(recordWith({0x11, 0x01, 0x14, 0x00}, 256 * 1024 + 1), kErrRecordFormat,
                     "MFT_RECORD::readAttributeList <Attribute list too large>", &v);
    // Clusters beyond the end of the volume.
    EXPECT_EQ(raised([&] { parsed(recordWith({0x21, 0x01, 0x00, 0x10, 0x00}, 64), std::nullopt, &v); }).code(),
              kErrReadDisk);
    // A cluster number whose byte position does not fit in 64 bits.
    Bytes wraps{0x81, 0x01, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0x00};
    EXPECT_EQ(raised([&] { parsed(recordWith(wraps, 64), std::nullopt, &v); }).code(), kErrReadDisk);
    v.close();
}
