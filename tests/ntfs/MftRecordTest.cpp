// MFT records assembled byte by byte: update-sequence fixup, the attribute
// walk (standard information, names, data, attribute lists), the bounds
// that keep every read inside the record and the checks of the runs
// against the volume.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/ErrorException.h"
#include "ntfs/MFT_RECORD.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "support/RecordBuilder.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test::rb;
using resurgo::test::raised;

namespace {

Bytes ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

// 512-byte clusters; totalClusters 0: the volume's size is not known.
NTFS_GEOMETRY geometry(std::uint64_t totalClusters = 0) {
    NTFS_GEOMETRY g;
    g.init("mem:x", 512, 1, -10, 16, 2, 1, totalClusters);
    return g;
}

MFT_RECORD parsed(Bytes rec, std::optional<bool> compressed = std::nullopt, std::uint64_t totalClusters = 0) {
    MFT_RECORD r;
    r.parse(rec.data(), rec.size(), geometry(totalClusters), compressed);
    return r;
}

ErrorException parseError(Bytes rec, std::uint64_t totalClusters = 0) {
    return raised([&] { parsed(std::move(rec), std::nullopt, totalClusters); });
}

void expectParseError(Bytes rec, int code, const std::string& diag) {
    ErrorException e = parseError(std::move(rec));
    EXPECT_EQ(e.code(), code);
    EXPECT_EQ(e.diagnostic(), diag);
}

// A non-resident attribute whose mapping pairs are given as they are.
Bytes withPairs(std::uint32_t type, const Bytes& pairs, std::int64_t startVcn, std::int64_t lastVcn,
                std::uint64_t dataSize, const std::string& name = "", std::uint16_t flags = 0) {
    NonResidentData s;
    s.type = type;
    s.mappingPairs = pairs;
    s.startVcn = static_cast<std::uint64_t>(startVcn);
    s.lastVcn = static_cast<std::uint64_t>(lastVcn);
    s.dataSize = dataSize;
    s.name = name;
    s.flags = flags;
    s.compressionUnit = (flags & 0xFF) != 0 ? 4 : 0;
    return nonResident(s);
}

Bytes stdInfo(std::uint64_t created, std::uint64_t modified, std::uint32_t fileAttributes) {
    return standardInformation(Times{created, modified, modified + 1, modified + 2}, fileAttributes);
}

const Times kNameTimes{0x01D0000000000001ULL, 0x01D0000000000002ULL, 0x01D0000000000003ULL, 0x01D0000000000004ULL};
Bytes name(const std::u16string& n, std::uint8_t nameSpace, std::uint64_t parent = ref(5, 5)) {
    return fileName(parent, n, nameSpace, kNameTimes);
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
const char* const kListTooLarge = "MFT_RECORD::readAttributeList <Attribute list too large>";
const char* const kRunDiag = "RUN_LIST::decompress_run <Unknown field type>";
const char* const kCompressedRunDiag = "RUN_LIST::decompress_run_compressed <Unknown field type>";

} // namespace

// ---- update-sequence fixup ----

TEST(MftFixup, RestoresTheLastWordOfEveryStride) {
    for (std::size_t size : {1024u, 4096u}) {
        SCOPED_TRACE(size);
        RecordBuilder b(size);
        b.usn = 0x0102;
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
        Bytes rec = RecordBuilder(1024).add(stdInfo(1, 2, 0)).build();
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
    // Older layout: array at 0x2A, attributes from 0x30, no record number.
    RecordBuilder legacy(1024, 0x2A);
    legacy.add(name(u"old.txt", 1));
    MFT_RECORD r = parsed(legacy.build());
    ASSERT_EQ(r.fileNames.size(), 1u);
    EXPECT_EQ(r.fileNames[0].name, "old.txt");
    EXPECT_EQ(r.firstAttributeOffset, 0x30);
    EXPECT_FALSE(r.ownRecordNumber.has_value());

    // Newer layout: the word at 0x2A means nothing; the number follows at 0x2C.
    RecordBuilder current(1024, 0x30);
    current.usn = 0x0102;
    current.recordNumber = 0x89ABCDEF;
    Bytes rec = current.build();
    ASSERT_NE(rec[0x2A] | (rec[0x2B] << 8), current.usn);
    EXPECT_EQ(parsed(rec).ownRecordNumber, 0x89ABCDEFu);
    EXPECT_EQ(MFT_RECORD::storedRecordNumber(rec.data(), MFT_RECORD::kHeaderBytes31), 0x89ABCDEFu);
    EXPECT_FALSE(MFT_RECORD::storedRecordNumber(rec.data(), MFT_RECORD::kHeaderBytes31 - 1).has_value());

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
    b.sequence = 7;
    b.hardLinks = 2;
    b.flags = MFT_RECORD::kFlagInUse | MFT_RECORD::kFlagDirectory;
    b.baseReference = ref(70000, 9);
    b.add(stdInfo(0x01D9000000000000ULL, 0x01DA000000000000ULL, 0x20))
        .add(name(u"Report 2026.txt", 1, ref(0x123456789ABCULL, 4)))
        .add(name(u"REPORT~1.TXT", 2))
        .add(resident(kData, ascii("hello")))
        .add(withPairs(kData, {0x21, 0x10, 0x00, 0x01, 0x00}, 0, 15, 0xFF00, "thumbnail.cache"));
    MFT_RECORD r = parsed(b.build());

    EXPECT_EQ(r.sequenceNumber, 7);
    EXPECT_EQ(r.hardLinkCount, 2);
    EXPECT_TRUE(r.inUse());
    EXPECT_TRUE(r.isDirectory());
    EXPECT_EQ(r.baseReference.recordNumber(), 70000u);
    EXPECT_EQ(r.baseReference.sequence(), 9);
    EXPECT_EQ(r.nextInstance, 6);
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
    EXPECT_EQ(r.fileNames[0].modificationTime(), 0x01D0000000000002ULL);
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
    b.add(name(u"Отчёт за год.docx", 0))
        .add(name(u"報告書.txt", 3))
        .add(name(u"\U0001F600.png", 1))
        .add(name(unpaired, 1))
        .add(resident(kData, ascii("x"), u8"Поток"));
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
    MFT_RECORD lr = parsed(RecordBuilder().add(name(longName, 1)).build());
    ASSERT_EQ(lr.fileNames.size(), 1u);
    std::string expected;
    for (int i = 0; i < 255; ++i) expected += u8"Ж";
    EXPECT_EQ(lr.fileNames[0].name, expected);
}

TEST(MftWalk, NextInstanceBoundsTheAttributesVisited) {
    RecordBuilder b;
    b.add(stdInfo(1, 2, 0)).add(name(u"a", 1)).add(resident(kData, ascii("d")));
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
        .add(resident(0x90, Bytes(32, 2), "$I30"))        // index root
        .add(withPairs(0xA0, {0x11, 0x01, 0x30, 0x00}, 0, 0, 4096, "$I30"))
        .add(resident(0xB0, Bytes(8, 0xFF), "$I30"));     // bitmap
    MFT_RECORD r = parsed(b.build());
    EXPECT_FALSE(r.standardInformationFound || r.fileNameFound || r.dataFound || r.attributeListFound);
    EXPECT_TRUE(r.fileNames.empty() && r.dataAttributes.empty() && r.attributeList.empty());
}

TEST(MftWalk, CompressedStandardInformationSelectsTheCompressedDecoder) {
    // 12 clusters at 0x40, 4 sparse, 16 clusters 0x20 further on.
    const Bytes runs{0x11, 0x0C, 0x40, 0x01, 0x04, 0x11, 0x10, 0x20, 0x00};
    auto record = [&](std::uint32_t fileAttributes, bool withStdInfo) {
        RecordBuilder b;
        if (withStdInfo) b.add(stdInfo(1, 2, fileAttributes));
        b.add(withPairs(kData, runs, 0, 31, 32 * 512, "", 0x0001));
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
    b.add(resident(kData, {})).add(withPairs(kData, {0x01, 0x08, 0x00}, 0, 7, 4096, "s", 0x8000));
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

TEST(MftWalk, ParsingAgainStartsAfresh) {
    MFT_RECORD r;
    Bytes first = RecordBuilder()
                      .add(name(u"first.bin", 1))
                      .add(resident(kData, pattern(300)))
                      .add(withPairs(kAttrList, {0x11, 0x01, 0x14, 0x00}, 0, 0, 64))
                      .build();
    r.parse(first.data(), first.size(), geometry());
    ASSERT_EQ(r.fileNames.size(), 1u);
    ASSERT_EQ(r.nonResidentLists.size(), 1u);
    Bytes second = RecordBuilder().add(stdInfo(1, 2, 0)).build();
    r.parse(second.data(), second.size(), geometry());
    EXPECT_TRUE(r.standardInformationFound);
    EXPECT_FALSE(r.fileNameFound || r.dataFound || r.attributeListFound);
    EXPECT_TRUE(r.fileNames.empty() && r.dataAttributes.empty() && r.nonResidentLists.empty());
}

TEST(MftWalk, ResidentAttributeList) {
    const Bytes e1 = listEntry(kStdInfo, 0, ref(40, 3), 0);
    const Bytes e2 = listEntry(kFileName, 0, ref(40, 3), 2);
    const Bytes e3 = listEntry(kData, 0x1000, ref(41, 3), 5, "Zone");
    // Entries up to the end of the value, no closing entry.
    MFT_RECORD r = parsed(RecordBuilder().add(resident(kAttrList, concat({e1, e2, e3}))).build());
    EXPECT_TRUE(r.attributeListFound);
    EXPECT_TRUE(r.nonResidentLists.empty());
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
    EXPECT_EQ(parsed(RecordBuilder().add(resident(kAttrList, concat({e1, zero, e3}))).build()).attributeList.size(),
              1u);
    EXPECT_EQ(parsed(RecordBuilder().add(resident(kAttrList, concat({e1, e2, Bytes(8, 0)}))).build())
                  .attributeList.size(), 2u);
}

TEST(MftWalk, AttributeListEntriesStayInsideTheList) {
    const Bytes good = listEntry(kStdInfo, 0, ref(40, 3), 0);
    Bytes tooLong = listEntry(kData, 0, ref(41, 3), 1);
    put16(tooLong, 0x04, 0x100);
    Bytes tooShort = listEntry(kData, 0, ref(41, 3), 1);
    put16(tooShort, 0x04, 0x10);
    Bytes nameOut = listEntry(kData, 0, ref(41, 3), 1, "ab");
    nameOut[0x06] = 40;
    for (const Bytes& value : {concat({good, tooLong}), concat({good, tooShort}), concat({good, nameOut}),
                               concat({good, Bytes{0, 0, 0, 0, 0, 0, 0, 1}})}) {
        expectParseError(RecordBuilder().add(resident(kAttrList, value)).build(), kErrRecordFormat, kListOut);
        // The same bytes handed back for a list kept outside the record.
        MFT_RECORD r;
        EXPECT_EQ(raised([&] { r.decodeAttributeList(value.data(), value.size()); }).diagnostic(), kListOut);
    }
}

TEST(MftWalk, NonResidentAttributeListIsLeftForTheCallerToRead) {
    // Two clusters from cluster 20, of which the list uses 100 bytes.
    Bytes rec = RecordBuilder().add(withPairs(kAttrList, {0x11, 0x02, 0x14, 0x00}, 0, 1, 100)).build();
    MFT_RECORD r = parsed(rec, std::nullopt, 128);
    EXPECT_TRUE(r.attributeListFound);
    EXPECT_TRUE(r.attributeList.empty());
    ASSERT_EQ(r.nonResidentLists.size(), 1u);
    const MFT_RECORD::NonResidentList& list = r.nonResidentLists[0];
    EXPECT_EQ(list.dataSize, 100u);
    ASSERT_EQ(list.runs.size(), 1u);
    EXPECT_EQ(list.runs[0].lcn, 20);
    EXPECT_EQ(list.runs[0].length, 2u);

    const Bytes value = concat({listEntry(kStdInfo, 0, ref(40, 3), 0), listEntry(kData, 0, ref(41, 3), 5, "Zone")});
    r.decodeAttributeList(value.data(), value.size());
    ASSERT_EQ(r.attributeList.size(), 2u);
    EXPECT_EQ(r.attributeList[1].name, "Zone");
    EXPECT_EQ(r.attributeList[1].reference.recordNumber(), 41u);
}

TEST(MftWalk, NonResidentAttributeListsNtfsNeverWritesAreRefused) {
    struct Row {
        const char* what;
        Bytes pairs;
        std::int64_t lastVcn;
        std::uint64_t dataSize;
        int code;
        const char* diag;
    };
    const Row rows[] = {
        {"a hole", {0x01, 0x01, 0x00}, 0, 64, kErrRunlistSparse,
         "RUN_LIST::decompress_run <Unwanted zero cluster number in noncompressed run>"},
        {"a data size beyond 256 KiB", {0x11, 0x01, 0x14, 0x00}, 0, 256 * 1024 + 1, kErrRecordFormat, kListTooLarge},
        {"clusters beyond 256 KiB and one cluster", {0x22, 0x02, 0x02, 0x14, 0x00, 0x00}, 513, 64, kErrRecordFormat,
         kListTooLarge},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        expectParseError(RecordBuilder().add(withPairs(kAttrList, row.pairs, 0, row.lastVcn, row.dataSize)).build(),
                         row.code, row.diag);
    }
    // 256 KiB of clusters and one cluster of slack is still a list.
    const Bytes fullList =
        RecordBuilder().add(withPairs(kAttrList, {0x22, 0x01, 0x02, 0x14, 0x00, 0x00}, 0, 512, 64)).build();
    EXPECT_EQ(parsed(fullList).nonResidentLists.size(), 1u);
}

// ---- bounds of the walk ----

TEST(MftBounds, AttributeLengthsAreChecked) {
    auto withLength = [](std::uint32_t length, bool nonResidentFlag = false) {
        RecordBuilder b;
        b.add(stdInfo(1, 2, 0)).add(resident(kData, ascii("payload"))).add(name(u"x", 1));
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
    const Bytes data = resident(kData, ascii("payload"), "s");
    expectParseError(tampered(data, 0x10, 0x1000, 4), kErrRecordFormat, kOut);      // value length
    expectParseError(tampered(data, 0x10, 0xFFFFFFFF, 4), kErrRecordFormat, kOut);
    expectParseError(tampered(data, 0x14, 0x300, 2), kErrRecordFormat, kOut);       // value offset
    expectParseError(tampered(data, 0x09, 100, 1), kErrRecordFormat, kOut);         // name length
    expectParseError(tampered(data, 0x0A, 0xFFF0, 2), kErrRecordFormat, kOut);      // name offset
    const Bytes stream = withPairs(kData, {0x11, 0x01, 0x20, 0x00}, 0, 0, 512, "s");
    expectParseError(tampered(stream, 0x09, 200, 1), kErrRecordFormat, kOut);

    // File name values: shorter than their fixed part, or a name beyond the value.
    Bytes shortName = resident(kFileName, Bytes(0x30, 0));
    expectParseError(RecordBuilder().add(shortName).build(), kErrRecordFormat, kOut);
    Bytes fn = name(u"abc", 1);
    expectParseError(tampered(fn, 0x18 + 0x40, 0xFF, 1), kErrRecordFormat, kOut);
    // A standard information value too short for the file attributes.
    expectParseError(RecordBuilder().add(resident(kStdInfo, Bytes(0x20, 0))).build(), kErrRecordFormat,
                     "MFT_RECORD::walk <Standard information too short>");
    expectParseError(RecordBuilder().add(withPairs(kFileName, {0x11, 0x01, 0x20, 0x00}, 0, 0, 100)).build(),
                     kErrRecordFormat, "MFT_RECORD::walk <Non-resident filename attribut>");
}

TEST(MftBounds, RunListsStayInsideTheirAttribute) {
    // Two runs fill the attribute exactly; the VCN range asks for a third.
    const Bytes runs{0x21, 0x04, 0x00, 0x10, 0x21, 0x04, 0x00, 0x10};
    Bytes attr = withPairs(kData, runs, 0, 15, 16 * 512);
    ASSERT_EQ(attr.size(), 0x48u);
    // The next attribute's type (bytes 11 10 00 00) would read as one more
    // run of 16 clusters if the decoder left its attribute.
    Bytes lure = resident(0x1011, {});
    RecordBuilder b;
    b.recordNumber = 31;
    b.add(attr).add(lure);
    ErrorException e = parseError(b.build());
    EXPECT_EQ(e.code(), kErrRunlistField);
    EXPECT_EQ(e.diagnostic(), kRunDiag);
    EXPECT_EQ(e.recordNumber(), 31u);
    EXPECT_EQ(e.byteOffset(), b.attrOffset(0) + 0x48);  // where a third run would start
    EXPECT_EQ(parsed(RecordBuilder().add(withPairs(kData, runs, 0, 7, 8 * 512)).build()).dataAttributes[0].runs.size(),
              2u);

    Bytes badOffset = withPairs(kData, runs, 0, 7, 8 * 512);
    put16(badOffset, 0x20, 0x50);
    EXPECT_EQ(raised([&] { parsed(RecordBuilder().add(badOffset).build()); }).code(), kErrRunlistField);
}

// ---- runs checked against the volume ----

// Runs that decode but name clusters no volume of 128 clusters has. A data
// attribute keeps the fault: its record still parses (a deleted file with
// damaged runs is still listed) and the runs raise it when read. An
// attribute list is needed to open its record: there the fault fails the
// parse. Either way the error names the record and the run's first byte.
TEST(MftRunChecks, RunsOutsideTheVolumeAreFaultsOfTheirAttribute) {
    struct Row {
        const char* what;
        Bytes pairs;
        std::int64_t lastVcn;
        std::uint64_t totalClusters;
        std::size_t faultAt;  // byte of the run at fault within the list
        bool compressed;
        bool dataOnly;  // sparse runs: an attribute list may hold none
    };
    const Row rows[] = {
        {"a run of length 0", {0x11, 0x00, 0x10, 0x11, 0x08, 0x10, 0x00}, 7, 128, 0, false, false},
        {"length 0 after a good run", {0x11, 0x08, 0x10, 0x11, 0x00, 0x10, 0x11, 0x01, 0x01, 0x00}, 8, 128, 3, false,
         false},
        {"a sparse run of length 0", {0x11, 0x04, 0x10, 0x01, 0x00, 0x11, 0x04, 0x10, 0x00}, 7, 128, 3, false, true},
        {"a running LCN past 2^63",
         {0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x11, 0x01, 0x01, 0x00}, 1, 0, 10, false, false},
        {"a run below cluster 0", {0x11, 0x01, 0xFF, 0x00}, 0, 0, 0, false, false},
        {"a run starting past the last cluster", {0x11, 0x01, 0x10, 0x21, 0x01, 0x70, 0x00, 0x00}, 1, 128, 3, false,
         false},
        {"a run ending past the last cluster", {0x11, 0x09, 0x78, 0x00}, 8, 128, 0, false, false},
        {"a compressed run ending past the last cluster", {0x11, 0x04, 0x7E, 0x01, 0x0C, 0x00}, 15, 128, 0, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const char* diag = std::string(row.what).find("length 0") == std::string::npos ? RUN_LIST::kOutsideDiagnostic
                           : row.compressed                                       ? kCompressedRunDiag
                                                                                  : kRunDiag;
        auto expectLocated = [&](const ErrorException& e, const RecordBuilder& b) {
            EXPECT_EQ(e.code(), kErrRunlistField);
            EXPECT_EQ(e.diagnostic(), diag);
            EXPECT_EQ(e.recordNumber(), 77u);
            EXPECT_EQ(e.byteOffset(), b.attrOffset(1) + 0x40 + row.faultAt);
        };

        RecordBuilder data;
        data.recordNumber = 77;
        data.add(name(u"damaged.bin", 1)).add(withPairs(kData, row.pairs, 0, row.lastVcn, 4096, "", row.compressed));
        MFT_RECORD r = parsed(data.build(), row.compressed, row.totalClusters);
        ASSERT_EQ(r.fileNames.size(), 1u);
        ASSERT_EQ(r.dataAttributes.size(), 1u);
        const RUN_LIST& runs = r.dataAttributes[0].runs;
        EXPECT_TRUE(runs.faulty());
        expectLocated(raised([&] { (void)runs.size(); }), data);
        expectLocated(raised([&] { (void)runs.totalClusters(); }), data);
        expectLocated(raised([&] {
                          for (const RUN_ENTRY& run : runs) (void)run;
                      }),
                      data);
        ASSERT_TRUE(runs.error().has_value());
        expectLocated(*runs.error(), data);

        if (row.dataOnly) continue;
        RecordBuilder list;
        list.recordNumber = 77;
        list.add(stdInfo(1, 2, 0)).add(withPairs(kAttrList, row.pairs, 0, row.lastVcn, 64));
        expectLocated(parseError(list.build(), row.totalClusters), list);
    }
}

TEST(MftRunChecks, RunsInsideTheVolumeAndUnknownSizes) {
    // Ending on the last cluster; sparse runs name no clusters.
    const Bytes lastCluster{0x11, 0x08, 0x78, 0x01, 0x10, 0x00};
    MFT_RECORD r = parsed(RecordBuilder().add(withPairs(kData, lastCluster, 0, 23, 4096)).build(), false, 128);
    EXPECT_FALSE(r.dataAttributes[0].runs.faulty());
    EXPECT_EQ(r.dataAttributes[0].runs.totalClusters(), 24u);
    // Far beyond 128 clusters, but the volume's size is not known.
    const Bytes far{0x31, 0x08, 0x00, 0x00, 0x10, 0x00};
    const Bytes farRecord = RecordBuilder().add(withPairs(kData, far, 0, 7, 4096)).build();
    EXPECT_FALSE(parsed(farRecord).dataAttributes[0].runs.faulty());
    EXPECT_TRUE(parsed(farRecord, false, 128).dataAttributes[0].runs.faulty());
    // A record of the older layout has no number to name.
    RecordBuilder legacy(1024, 0x2A);
    legacy.add(withPairs(kData, {0x11, 0x00, 0x10, 0x11, 0x01, 0x10, 0x00}, 0, 0, 512));
    ErrorException e = *parsed(legacy.build()).dataAttributes[0].runs.error();
    EXPECT_FALSE(e.recordNumber().has_value());
    EXPECT_EQ(e.byteOffset(), legacy.attrOffset(0) + 0x40);
    EXPECT_EQ(e.location(), "byte " + std::to_string(legacy.attrOffset(0) + 0x40));
}
