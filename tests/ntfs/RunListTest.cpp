// Run-list (mapping pairs) decoding: field widths, sign extension, sparse
// runs in the three kinds of list, and every way a list can be malformed.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/TestSupport.h"
#include "core/ErrorException.h"
#include "ntfs/RUN_LIST.h"

using namespace resurgo;
using resurgo::test::raised;

namespace {

using Bytes = std::vector<std::uint8_t>;

const char* const kOrdinaryDiag = "RUN_LIST::decompress_run <Unknown field type>";
const char* const kCompressedDiag = "RUN_LIST::decompress_run_compressed <Unknown field type>";
const char* const kSparseDiag = "RUN_LIST::decompress_run <Unwanted zero cluster number in noncompressed run>";

RUN_LIST decode(const Bytes& b, std::int64_t startVcn, std::int64_t lastVcn, RUN_LIST::Kind kind) {
    return RUN_LIST(b.data(), b.data() + b.size(), startVcn, lastVcn, kind);
}

void expectError(const Bytes& b, std::int64_t start, std::int64_t last, RUN_LIST::Kind kind, int code,
                 const char* diag) {
    ErrorException e = raised([&] { decode(b, start, last, kind); });
    EXPECT_EQ(e.code(), code);
    EXPECT_EQ(e.diagnostic(), diag);
    EXPECT_EQ(e.systemError(), 0u);
}

// Offset of a single run with header 0x?1 (1-byte length) decoded alone.
std::int64_t singleOffset(const Bytes& offsetBytes) {
    Bytes b{static_cast<std::uint8_t>((offsetBytes.size() << 4) | 1), 0x01};
    b.insert(b.end(), offsetBytes.begin(), offsetBytes.end());
    const std::uint8_t* cursor = b.data();
    std::uint32_t length = 0;
    std::int64_t running = 0;
    bool sparse = true;
    RUN_LIST::decompress_run(cursor, b.data() + b.size(), length, running, false, sparse);
    EXPECT_EQ(cursor, b.data() + b.size()) << "cursor must stop right after the run";
    EXPECT_FALSE(sparse);
    return running;
}

} // namespace

TEST(RunList, OrdinaryRunsAccumulateAbsoluteClusters) {
    // 0x18 clusters at 0x5634, then 8 clusters 16 before it.
    Bytes b{0x21, 0x18, 0x34, 0x56, 0x11, 0x08, 0xF0, 0x00};
    RUN_LIST list = decode(b, 0, 0x18 + 8 - 1, RUN_LIST::Kind::Ordinary);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].cluster, 0x5634);
    EXPECT_EQ(list[0].length, 0x18u);
    EXPECT_EQ(list[1].cluster, 0x5634 - 16);
    EXPECT_EQ(list[1].lcn, 0x5634 - 16);
    EXPECT_EQ(list[1].length, 8u);
    EXPECT_FALSE(list[0].sparse || list[1].sparse);
    EXPECT_EQ(list.totalClusters(), 0x20u);
}

TEST(RunList, DecodesOnlyAsManyRunsAsTheVcnRangeNeeds) {
    // The range is covered by the first run; what follows (here an invalid
    // header) is never looked at.
    Bytes b{0x21, 0x18, 0x34, 0x56, 0xFF, 0xFF};
    EXPECT_EQ(decode(b, 0, 0x17, RUN_LIST::Kind::Ordinary).size(), 1u);
    // One cluster more needs the second run, which is malformed.
    expectError(b, 0, 0x18, RUN_LIST::Kind::Ordinary, kErrRunlistField, kOrdinaryDiag);
    // A range of one cluster (start == last) still needs one run.
    EXPECT_EQ(decode(b, 7, 7, RUN_LIST::Kind::Ordinary).size(), 1u);
}

TEST(RunList, OffsetsAreSignExtendedFromTheirLastByte) {
    EXPECT_EQ(singleOffset({0xFF}), -1);
    EXPECT_EQ(singleOffset({0x80, 0x00}), 128);
    EXPECT_EQ(singleOffset({0x00, 0x00, 0x80}), -(std::int64_t{1} << 23));
    EXPECT_EQ(singleOffset({0x00, 0x00, 0x00, 0x00, 0x80}), -(std::int64_t{1} << 39));
    EXPECT_EQ(singleOffset({0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), (std::int64_t{1} << 39) - 1);
    // 7 bytes: bytes 4..6 are the high part, sign-extended to 64 bits.
    EXPECT_EQ(singleOffset({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x87}),
              static_cast<std::int64_t>(0xFF87060504030201ULL));
    EXPECT_EQ(singleOffset({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}), 0x0807060504030201LL);
    EXPECT_EQ(singleOffset({0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), -2);
}

TEST(RunList, LengthFieldsOfOneToFourBytes) {
    Bytes b{0x13, 0x01, 0x02, 0x03, 0x10, 0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
    RUN_LIST list = decode(b, 0, 0x030201 + 0xFFFFFFFFLL - 1, RUN_LIST::Kind::Ordinary);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].length, 0x030201u);
    EXPECT_EQ(list[0].cluster, 0x10);
    EXPECT_EQ(list[1].length, 0xFFFFFFFFu);
    EXPECT_EQ(list[1].cluster, 0x11);
}

TEST(RunList, BadFieldSizesRaise15WithTheDecodersDiagnostic) {
    for (std::uint8_t header : {0x00, 0x05, 0x0F, 0x91, 0xF1, 0x90}) {
        SCOPED_TRACE(static_cast<int>(header));
        Bytes b{header, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01};
        expectError(b, 0, 0, RUN_LIST::Kind::Ordinary, kErrRunlistField, kOrdinaryDiag);
        expectError(b, 0, 0, RUN_LIST::Kind::OrdinaryAllowSparse, kErrRunlistField, kOrdinaryDiag);
        expectError(b, 0, 0, RUN_LIST::Kind::Compressed, kErrRunlistField, kCompressedDiag);
    }
}

TEST(RunList, SparseRunDependsOnTheKindOfList) {
    // 4 clusters at 0x20, 4 sparse clusters, 4 clusters at 0x20 + 0x10.
    Bytes b{0x11, 0x04, 0x20, 0x01, 0x04, 0x11, 0x04, 0x10, 0x00};

    // The MFT's own data and attribute lists may not be sparse.
    expectError(b, 0, 11, RUN_LIST::Kind::Ordinary, kErrRunlistSparse, kSparseDiag);

    RUN_LIST plain = decode(b, 0, 11, RUN_LIST::Kind::OrdinaryAllowSparse);
    ASSERT_EQ(plain.size(), 3u);
    EXPECT_EQ(plain[0].lcn, 0x20);
    EXPECT_TRUE(plain[1].sparse);
    EXPECT_EQ(plain[1].length, 4u);
    EXPECT_FALSE(plain[2].sparse);
    EXPECT_EQ(plain[2].cluster, 0x30);  // relative to the last real run, not to the hole
    EXPECT_EQ(plain[2].lcn, 0x30);

    // Compressed lists keep the raw offsets; lcn is still absolute.
    RUN_LIST comp = decode(b, 0, 11, RUN_LIST::Kind::Compressed);
    ASSERT_EQ(comp.size(), 3u);
    EXPECT_EQ(comp[0].cluster, 0x20);
    EXPECT_EQ(comp[1].cluster, 0);
    EXPECT_TRUE(comp[1].sparse);
    EXPECT_EQ(comp[2].cluster, 0x10);
    EXPECT_EQ(comp[2].lcn, 0x30);
    EXPECT_EQ(comp.totalClusters(), 12u);
}

TEST(RunList, CompressedUnitsWithNegativeOffsetsAnd64BitVcns) {
    // A 16-cluster unit stored in 12 clusters, then a unit stored in full
    // 0x100 clusters before it. The extent starts beyond 2^32 clusters.
    Bytes b{0x21, 0x0C, 0x00, 0x10, 0x01, 0x04, 0x21, 0x10, 0x00, 0xFF, 0x00};
    std::int64_t start = std::int64_t{1} << 32;
    RUN_LIST list = decode(b, start, start + 31, RUN_LIST::Kind::Compressed);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[2].cluster, -0x100);
    EXPECT_EQ(list[2].lcn, 0x1000 - 0x100);
    EXPECT_FALSE(list[2].sparse);
}

TEST(RunList, ListEndingBeforeTheRangeIsCoveredRaises15) {
    Bytes b{0x11, 0x04, 0x20, 0x00};
    expectError(b, 0, 7, RUN_LIST::Kind::Ordinary, kErrRunlistField, kOrdinaryDiag);
    expectError(b, 0, 7, RUN_LIST::Kind::Compressed, kErrRunlistField, kCompressedDiag);
    // Only the terminator.
    expectError(Bytes{0x00}, 0, 0, RUN_LIST::Kind::OrdinaryAllowSparse, kErrRunlistField, kOrdinaryDiag);
}

TEST(RunList, NeverReadsPastTheEndPointer) {
    // Each list is cut inside a run: at the header, in the length, in the offset.
    const Bytes full{0x11, 0x04, 0x20, 0x21, 0x18, 0x34, 0x56};
    for (std::size_t cut : {3u, 4u, 5u, 6u}) {
        SCOPED_TRACE(cut);
        Bytes b(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
        expectError(b, 0, 0x1B, RUN_LIST::Kind::Ordinary, kErrRunlistField, kOrdinaryDiag);
        expectError(b, 0, 0x1B, RUN_LIST::Kind::Compressed, kErrRunlistField, kCompressedDiag);
    }
    // Runs of length 0 never cover anything; the end pointer still stops them.
    Bytes zeros{0x11, 0x00, 0x01, 0x11, 0x00, 0x01, 0x11, 0x00, 0x01};
    expectError(zeros, 0, 0, RUN_LIST::Kind::Ordinary, kErrRunlistField, kOrdinaryDiag);
}

TEST(RunList, LastVcnBelowStartGivesAnEmptyList) {
    for (auto kind : {RUN_LIST::Kind::Ordinary, RUN_LIST::Kind::OrdinaryAllowSparse, RUN_LIST::Kind::Compressed}) {
        EXPECT_TRUE(decode(Bytes{0x00}, 0, -1, kind).empty());
        EXPECT_TRUE(decode(Bytes{}, 10, 9, kind).empty());
        EXPECT_EQ(decode(Bytes{}, 10, 9, kind).totalClusters(), 0u);
    }
    EXPECT_TRUE(RUN_LIST().empty());
}

TEST(RunList, RunsNamingNoClustersOfTheVolumeAreKeptAsAFault) {
    // Each list decodes; the run at `at` names clusters a volume of 100
    // clusters doesn't have (or none at all). The list raises 15 with the
    // decoder's diagnostic, the record and the run's byte in the record,
    // whenever its runs are read.
    struct Row {
        const char* what;
        Bytes pairs;
        std::int64_t lastVcn;
        RUN_LIST::Kind kind;
        std::size_t at;
        std::uint64_t totalClusters = 100;
    };
    const auto ordinary = RUN_LIST::Kind::OrdinaryAllowSparse;
    const Row rows[] = {
        {"zero length", {0x11, 0x00, 0x10, 0x11, 0x04, 0x10, 0x00}, 3, ordinary, 0},
        {"zero length, sparse", {0x11, 0x04, 0x10, 0x01, 0x00, 0x01, 0x04, 0x00}, 7, ordinary, 3},
        {"zero length, compressed", {0x11, 0x04, 0x10, 0x11, 0x00, 0x04, 0x11, 0x04, 0x04, 0x00}, 7,
         RUN_LIST::Kind::Compressed, 3},
        // The first run ends on cluster 2^63 - 1 (past any known volume).
        {"LCN overflows", {0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x11, 0x01, 0x01, 0x00}, 1,
         ordinary, 10, 0},
        {"negative LCN", {0x11, 0x01, 0x10, 0x11, 0x01, 0xE0, 0x00}, 1, ordinary, 3},
        {"starts past the last cluster", {0x11, 0x01, 0x64, 0x00}, 0, ordinary, 0},
        {"ends past the last cluster", {0x11, 0x04, 0x10, 0x11, 0x05, 0x50, 0x00}, 8, RUN_LIST::Kind::Ordinary, 3},
        {"ends past the last cluster, compressed", {0x11, 0x0C, 0x5C, 0x01, 0x04, 0x00}, 15,
         RUN_LIST::Kind::Compressed, 0},
    };
    RUN_LIST::Context context;
    context.recordNumber = 4711;
    context.recordOffset = 0x148;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        context.totalClusters = row.totalClusters;
        const RUN_LIST list(row.pairs.data(), row.pairs.data() + row.pairs.size(), 0, row.lastVcn, row.kind, context);
        EXPECT_TRUE(list.faulty());
        for (const ErrorException& e : {raised([&] { (void)list.size(); }), raised([&] { (void)list.entries(); }),
                                        raised([&] { (void)list.totalClusters(); }), *list.error()}) {
            EXPECT_EQ(e.code(), kErrRunlistField);
            // A run of no clusters is a bad field; the others name clusters outside the volume.
            const bool empty = std::string(row.what).rfind("zero length", 0) == 0;
            EXPECT_EQ(e.diagnostic(), !empty ? RUN_LIST::kOutsideDiagnostic
                                      : row.kind == RUN_LIST::Kind::Compressed ? kCompressedDiag
                                                                               : kOrdinaryDiag);
            EXPECT_EQ(e.recordNumber(), 4711u);
            EXPECT_EQ(e.byteOffset(), 0x148u + row.at);
            EXPECT_EQ(e.location(), "record 4711, byte " + std::to_string(0x148u + row.at));
        }
    }
    // Runs within the volume, or past it when its size is not known: no fault.
    context.totalClusters = 100;
    const Bytes last{0x11, 0x04, 0x10, 0x11, 0x04, 0x50, 0x00};  // ends on cluster 99
    EXPECT_FALSE(RUN_LIST(last.data(), last.data() + last.size(), 0, 7, RUN_LIST::Kind::Ordinary, context).faulty());
    const Bytes far{0x11, 0x01, 0x64, 0x00};
    EXPECT_FALSE(decode(far, 0, 0, RUN_LIST::Kind::Ordinary).faulty());
    // Without a record the error has only the offset within the list.
    const Bytes zero{0x11, 0x01, 0x10, 0x11, 0x00, 0x10, 0x11, 0x01, 0x10, 0x00};
    const RUN_LIST unplaced = decode(zero, 0, 1, RUN_LIST::Kind::Ordinary);
    ASSERT_TRUE(unplaced.error().has_value());
    EXPECT_EQ(unplaced.error()->byteOffset(), 3u);
    EXPECT_FALSE(unplaced.error()->recordNumber().has_value());
}

TEST(RunList, MalformedListsSayWhereTheyBreak) {
    RUN_LIST::Context context;
    context.recordNumber = 12;
    context.recordOffset = 0x60;
    const Bytes cut{0x11, 0x04, 0x20, 0x21, 0x18};  // the second run is cut in its offset
    ErrorException e =
        raised([&] { (void)RUN_LIST(cut.data(), cut.data() + cut.size(), 0, 7, RUN_LIST::Kind::Ordinary, context); });
    EXPECT_EQ(e.code(), kErrRunlistField);
    EXPECT_EQ(e.recordNumber(), 12u);
    EXPECT_EQ(e.byteOffset(), 0x63u);
    // A single run whose LCN overflows the running one.
    const Bytes one{0x11, 0x01, 0x01};
    const std::uint8_t* cursor = one.data();
    std::uint32_t length = 0;
    std::int64_t running = INT64_MAX;
    bool sparse = false;
    EXPECT_EQ(raised([&] { RUN_LIST::decompress_run(cursor, one.data() + one.size(), length, running, false, sparse); })
                  .diagnostic(),
              kOrdinaryDiag);
}
