// The file model on hand-built records: the wildcard matcher, which name is
// shown, where times and sizes come from, the MFT's run table and the
// location of records through the MFT's runs (also split and extended ones).

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "core/ErrorException.h"
#include "file/FileZ.h"
#include "file/MftReader.h"
#include "file/WildcardMatcher.h"
#include "file/MftRunTable.h"
#include "recovery/FilesystemNTFS.h"
#include "support/RecordBuilder.h"
#include "support/TestSupport.h"
#include "volume/Volume.h"

using namespace resurgo;
using namespace resurgo::test;
using namespace resurgo::test::rb;

namespace {

template <class F>
int codeOf(F&& f) {
    try {
        f();
    } catch (const ErrorException& e) {
        return e.code();
    }
    return 0;
}

NTFS_GEOMETRY geometry4k() {
    NTFS_GEOMETRY g;
    g.init("mem:none", 512, 8, -10, 4, 4, 1);
    return g;
}

// Opens a record held in memory as record 70 (no MFT behind it).
FileZ openBytes(const RecordBuilder& b) {
    static Volume unopened;
    Bytes rec = b.build();
    FileZ f;
    f.openFromBytes(rec.data(), rec.size(), unopened, geometry4k(), nullptr, 0, 70);
    return f;
}

const Times kFnTimes = Times::all(130000000000000000ULL);
const Times kSiTimes{131000000000000000ULL, 132000000000000000ULL, 133000000000000000ULL, 134000000000000000ULL};

RecordBuilder withNames(const std::vector<std::pair<std::string, std::uint8_t>>& names) {
    RecordBuilder b;
    b.add(standardInformation(kSiTimes));
    std::uint64_t parent = 30;
    for (const auto& n : names) b.add(fileName(ref(parent++, 1), n.first, n.second, kFnTimes));
    return b;
}

// ---------------------------------------------------------------------------

TEST(Wildcard, TableOfPatternsAndNames) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    };
    const Case cases[] = {
        {"*.txt", "Report.TXT", true},   {"a?c", "ABC", true},           {"a*", "a", true},
        {"a*b", "a", false},             {"a*b", "ab", true},            {"a*b", "axxb", true},
        {"*?", "x", true},               {"*?", "xyz", true},            {"*?", "", false},
        {"*a?c", "aabc", true},          {"*a?c", "abc", true},          {"*a?c", "aab", false},
        {"x*y*z", "xyyz", true},         {"x*y*z", "xyzyz", true},       {"x*y*z", "xzy", false},
        {"*ab", "ab", true},             {"*ab", "cab", true},           {"*ab", "abc", false},
        {"*ab", "abab", true},           {"", "", true},                 {"", "a", false},
        {"*", "", true},                 {"**", "abc", true},            {"a**b", "ab", true},
        {"?", "", false},                {"abc", "abd", false},          {"abc", "ab", false},
        {"ab", "abc", false},            {"*.bin", "x.bin.txt", false},  {"*.*", "noext", false},
        {"caf?.txt", "café.txt", true},  {"caf??.txt", "café.txt", false},
        {"??.txt", "日本.txt", true},     {"?.txt", "日本.txt", false},    {"???.txt", "日本.txt", false},
        {"smile_?.txt", "smile_😀.txt", true},
        {"ПРИМЕР*", "Пример.txt", true}, {"пример.TXT", "ПРИМЕР.txt", true},
        {"ελληνικά.DAT", "Ελληνικά.dat", true},
        {"ΛΟΓΟΣ", "λογος", true},        // final sigma folds with sigma
        {"ÄRGER*", "ärger_kept.txt", true}, {"äRGER*", "Arger.txt", false},
        {"a*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WildcardMatcher::match(c.pattern, c.name), c.match) << "'" << c.pattern << "' vs '" << c.name << "'";
        EXPECT_EQ(WildcardMatcher::match(WildcardMatcher::foldPattern(c.pattern), c.name), c.match) << c.pattern;
    }
}

TEST(Wildcard, MatchNameUsesTheShownName) {
    FileZ f = openBytes(withNames({{"SHORT~1.TXT", kDos}, {"Shown Name.txt", kWin32}}));
    EXPECT_TRUE(f.matchName("shown*"));
    EXPECT_FALSE(f.matchName("short*"));
}

// ---------------------------------------------------------------------------

TEST(NameChoice, Win32NameWinsOverDosInEitherOrder) {
    FileZ a = openBytes(withNames({{"Long Name.txt", kWin32}, {"LONGNA~1.TXT", kDos}}));
    EXPECT_EQ(a.getName(), "Long Name.txt");
    EXPECT_EQ(a.getDirectoryReference().recordNumber(), 30u);  // parent of the first name

    FileZ b = openBytes(withNames({{"LONGNA~1.TXT", kDos}, {"Long Name.txt", kWin32}}));
    EXPECT_EQ(b.getName(), "Long Name.txt");
    EXPECT_EQ(b.getDirectoryReference().recordNumber(), 30u);  // still the first name's (the DOS one)
}

TEST(NameChoice, DosPosixAndHardLinks) {
    EXPECT_EQ(openBytes(withNames({{"ONLYDOS.TXT", kDos}})).getName(), "ONLYDOS.TXT");
    EXPECT_EQ(openBytes(withNames({{"FIRST.TXT", kDos}, {"SECOND.TXT", kDos}})).getName(), "FIRST.TXT");
    EXPECT_EQ(openBytes(withNames({{"posix:name", kPosix}})).getName(), "posix:name");
    EXPECT_EQ(openBytes(withNames({{"DOSNAM~1", kDos}, {"Posix Name", kPosix}})).getName(), "Posix Name");
    EXPECT_EQ(openBytes(withNames({{"both.txt", kWin32AndDos}})).getName(), "both.txt");
    EXPECT_EQ(openBytes(withNames({{"link_one.txt", kWin32}, {"link_two.txt", kWin32}})).getName(), "link_one.txt");
    EXPECT_EQ(openBytes(withNames({{"Пример 😀.txt", kWin32}})).getName(), "Пример 😀.txt");
}

// ---------------------------------------------------------------------------

TEST(FileEntry, OpenRefusesExtensionRecordsAndRecordsWithoutSiOrName) {
    RecordBuilder ext = withNames({{"x.txt", kWin32}});
    ext.baseReference = ref(12, 3);
    EXPECT_EQ(codeOf([&] { openBytes(ext); }), kErrExtensionRecord);

    RecordBuilder noSi;
    noSi.add(fileName(ref(5, 5), "x.txt"));
    EXPECT_EQ(codeOf([&] { openBytes(noSi); }), kErrNoStandardInfo);

    RecordBuilder noName;
    noName.add(standardInformation(kSiTimes));
    EXPECT_EQ(codeOf([&] { openBytes(noName); }), kErrNoFileName);
}

TEST(FileEntry, DeletedRecordsAndDirectoriesOpen) {
    RecordBuilder del = withNames({{"gone.txt", kWin32}});
    del.flags = 0;
    FileZ f = openBytes(del);
    EXPECT_TRUE(f.isDeleted());
    EXPECT_FALSE(f.isDirectory());

    RecordBuilder dir = withNames({{"gone_dir", kWin32}});
    dir.flags = kDirectory;
    FileZ d = openBytes(dir);
    EXPECT_TRUE(d.isDeleted());
    EXPECT_TRUE(d.isDirectory());

    FileZ live = openBytes(withNames({{"kept.txt", kWin32}}));
    EXPECT_FALSE(live.isDeleted());
}

TEST(FileEntry, TimesComeFromStandardInformation) {
    FileZ f = openBytes(withNames({{"t.txt", kWin32}}));
    EXPECT_EQ(f.creationTimeUtc(), kSiTimes.created);
    EXPECT_EQ(f.modificationTimeUtc(), kSiTimes.modified);
    EXPECT_EQ(f.accessTimeUtc(), kSiTimes.accessed);
    EXPECT_EQ(f.getLastModificationTime().utc(), kSiTimes.modified);
    EXPECT_EQ(f.getCreationTime().utc(), kSiTimes.created);
    EXPECT_EQ(f.getLastAccessTime().utc(), kSiTimes.accessed);
}

TEST(FileEntry, RealSizeIsTheUnnamedDataFirstExtent) {
    auto sized = [](std::vector<Bytes> data) {
        RecordBuilder b = withNames({{"s.bin", kWin32}});
        for (auto& d : data) b.add(d);
        return openBytes(b);
    };
    EXPECT_EQ(sized({resident(kData, Bytes())}).getRealSize(), 0u);
    EXPECT_EQ(sized({resident(kData, Bytes(700, 0x41))}).getRealSize(), 700u);

    NonResidentData plain;
    plain.runs = {{100, 2}};
    plain.dataSize = 5000;
    plain.initializedSize = 4096;
    EXPECT_EQ(sized({nonResident(plain)}).getRealSize(), 5000u);  // not the initialized size

    NonResidentData blob;
    blob.runs = {{200, 5}};
    blob.dataSize = 20000;
    blob.name = "blob";
    FileZ withStreams = sized({resident(kData, Bytes(40, 1), "meta"), nonResident(blob), nonResident(plain)});
    EXPECT_EQ(withStreams.getRealSize(), 5000u);
    EXPECT_FALSE(withStreams.isResident());
    ASSERT_EQ(withStreams.dataExtents().size(), 1u);
    EXPECT_EQ(withStreams.dataExtents("blob").size(), 1u);

    EXPECT_TRUE(sized({resident(kData, Bytes(10, 1))}).isResident());
    EXPECT_FALSE(sized({}).isResident());

    RecordBuilder dir = withNames({{"dir", kWin32}});
    dir.flags = kInUse | kDirectory;
    FileZ d = openBytes(dir);
    try {
        d.getRealSize();
        ADD_FAILURE() << "no data should raise";
    } catch (const ErrorException& e) {
        EXPECT_EQ(e.code(), kErrRecordFormat);
        EXPECT_EQ(e.diagnostic(), "FileZ::getRealSize <Extended record not found>");
    }
}

// ---------------------------------------------------------------------------

TEST(MftRunTable, FindOnRunBoundaries) {
    MftRunTable t;
    EXPECT_EQ(t.find(0), nullptr);
    t.add(4, 4, 5000, false);  // added out of order
    t.add(0, 4, 1000, false);
    t.add(8, 0, 7000, false);  // empty runs are dropped
    t.add(10, 2, 9000, false); // a gap at VCN 8..9
    t.sort();
    EXPECT_EQ(t.runs().size(), 3u);
    EXPECT_EQ(t.clusterCount(), 12u);
    struct Probe {
        std::uint64_t vcn;
        std::int64_t lcn;  // -1: not covered
    };
    for (Probe p : {Probe{0, 1000}, Probe{3, 1000}, Probe{4, 5000}, Probe{7, 5000}, Probe{8, -1}, Probe{9, -1},
                    Probe{10, 9000}, Probe{11, 9000}, Probe{12, -1}, Probe{~0ULL, -1}}) {
        const MftRunTable::Run* r = t.find(p.vcn);
        if (p.lcn < 0) {
            EXPECT_EQ(r, nullptr) << p.vcn;
        } else {
            ASSERT_NE(r, nullptr) << p.vcn;
            EXPECT_EQ(r->lcn, static_cast<std::uint64_t>(p.lcn)) << p.vcn;
        }
    }
}

// Clusters a run list maps again are repeated where met again (by VCN),
// and only those: a run is cut around what it repeats; every VCN keeps
// its place.
TEST(MftRunTable, ClustersMappedTwiceAreRepeatedWhereMappedAgain) {
    using Pieces = std::vector<std::array<std::uint64_t, 3>>;  // vcn, length, lcn
    const std::tuple<const char*, Pieces, Pieces> rows[] = {
        {"disjoint runs", {{0, 4, 100}, {4, 4, 200}}, {}},
        {"the same run again", {{0, 4, 100}, {4, 4, 100}}, {{4, 4, 100}}},
        {"many times", {{0, 4, 100}, {4, 4, 100}, {8, 4, 100}}, {{4, 4, 100}, {8, 4, 100}}},
        {"overlapping its start", {{0, 4, 100}, {4, 4, 98}}, {{6, 2, 100}}},
        {"straddling two runs", {{0, 2, 100}, {2, 2, 104}, {4, 8, 99}}, {{5, 2, 100}, {9, 2, 104}}},
        {"a lower VCN wins, whatever the order added", {{4, 4, 100}, {0, 4, 100}}, {{4, 4, 100}}},
        {"inside one run", {{0, 8, 100}, {8, 2, 103}}, {{8, 2, 103}}},
    };
    for (const auto& [what, runs, repeated] : rows) {
        SCOPED_TRACE(what);
        MftRunTable t;
        for (const auto& r : runs) t.add(r[0], r[1], r[2], false);
        t.add(20, 4, 0, true);  // sparse runs map nothing
        t.sort();
        Pieces got;
        for (const auto& r : t.repeated()) got.push_back({r.vcn, r.length, r.lcn});
        EXPECT_EQ(got, repeated);
        for (const auto& r : runs) {
            for (std::uint64_t v = r[0]; v < r[0] + r[1]; ++v) {
                const MftRunTable::Run* at = t.find(v);
                ASSERT_NE(at, nullptr) << v;
                EXPECT_EQ(at->lcn + (v - at->vcn), r[2] + (v - r[0])) << v;
            }
        }
    }
}

// The MFT's own entry opened from bytes, with the given runs.
MftReader mftWithRuns(const std::vector<Run>& runs, Volume& volume) {
    RecordBuilder b;
    b.add(standardInformation(Times::all(0), 0x06));
    b.add(fileName(ref(5, 5), "$MFT", kWin32AndDos));
    NonResidentData data;
    data.runs = runs;
    data.dataSize = clustersOf(runs) * 4096;
    b.add(nonResident(data));
    Bytes rec = b.build();
    MftReader mft;
    mft.openFromBytes(rec.data(), rec.size(), volume, geometry4k(), runs.front().lcn * 8, 0);
    return mft;
}

TEST(RecordLocation, OneRun) {
    Volume v;
    MftReader mft = mftWithRuns({{1000, 100}}, v);
    EXPECT_EQ(mft.recordCapacity(), 400u);
    EXPECT_EQ(mft.getSectorOfRecord(0), 8000u);
    EXPECT_EQ(mft.getSectorOfRecord(5), 8010u);  // offset 5120: cluster 1001, second 1 KiB of it
    EXPECT_EQ(mft.getSectorOfRecord(399), (1000u + 99u) * 8u + 6u);
    EXPECT_EQ(codeOf([&] { mft.getSectorOfRecord(400); }), kErrEndOfFile);
}

TEST(RecordLocation, TwoRuns) {
    Volume v;
    MftReader mft = mftWithRuns({{1000, 4}, {5000, 4}}, v);
    EXPECT_EQ(mft.getSectorOfRecord(15) / 8, 1003u);
    EXPECT_EQ(mft.getSectorOfRecord(15) % 8, 6u);
    EXPECT_EQ(mft.getSectorOfRecord(16), 5000u * 8u);
    EXPECT_EQ(mft.getSectorOfRecord(20) / 8, 5001u);
    EXPECT_EQ(mft.getSectorOfReference(FILE_REFERENCE(ref(16, 9))), 5000u * 8u);
}

TEST(RecordLocation, LocationEndsWithEndOfFile) {
    Volume v;
    MftReader mft = mftWithRuns({{1000, 4}, {5000, 4}}, v);  // 8 clusters: 32 records
    std::vector<std::uint64_t> sectors;
    for (std::uint64_t i = 0; i < 32; ++i) sectors.push_back(mft.getSectorOfRecord(i));
    EXPECT_EQ(sectors.front(), 8000u);
    EXPECT_EQ(sectors.back(), 5003u * 8u + 6u);
    EXPECT_EQ(codeOf([&] { mft.getSectorOfRecord(32); }), kErrEndOfFile);
    std::vector<std::uint8_t> buf(1024);
    EXPECT_EQ(codeOf([&] { mft.readRecords(32, 1, buf.data()); }), kErrEndOfFile);
    EXPECT_EQ(codeOf([&] { mft.readRecords(31, 2, buf.data()); }), kErrEndOfFile);
}

// ---------------------------------------------------------------------------
// Records read through an MFT held in an in-memory volume.

struct MemoryFs {
    MemoryVolume vol;
    MemoryPlatform platform;
    ScopedPlatform scoped;
    FilesystemNTFS fs;
    NTFS_GEOMETRY g;
    explicit MemoryFs(MemoryVolume v) : vol(std::move(v)), platform(vol.image), scoped(platform), g(vol.geometry()) {}
    ~MemoryFs() {
        if (fs.isOpen()) fs.close();
    }
    void open() { fs.open(g); }
    FileZ record(std::uint64_t n) {
        FileZ f;
        f.openRecord(fs.volume(), fs.geometry(), &fs.mftEntry(), n);
        return f;
    }
};

TEST(RecordLocation, RecordSplitBetweenTwoMftRunsIsReadFromBoth) {
    // 512-byte clusters: record 1 is VCN 2 (LCN 12) and VCN 3 (LCN 40).
    MemoryVolume vol(1, {{10, 3}, {40, 13}}, 64);
    RecordBuilder split = fileRecord(1, ref(5, 5), "split.txt", 0, 2);
    split.add(resident(kData, Bytes(300, 0x5A)));
    vol.putRecord(1, split.build());
    vol.putClusters(13, Bytes(512, 0xEE));  // what follows on disk is not the record
    MemoryFs m(std::move(vol));
    m.open();
    EXPECT_EQ(m.fs.mftEntry().recordCapacity(), 8u);
    EXPECT_EQ(m.fs.mftEntry().getSectorOfRecord(1), 12u);
    EXPECT_EQ(m.fs.mftEntry().getSectorOfRecord(2), 41u);
    FileZ f = m.record(1);
    EXPECT_EQ(f.getName(), "split.txt");
    EXPECT_EQ(f.getRealSize(), 300u);

    // The search reads the MFT in chunks along the runs and finds it too.
    m.fs.findFiles(SEARCH_FILTER{1000000, "*"}, SEARCH_CONTEXT{});
    ASSERT_EQ(m.fs.resultCount(), 1u);
    EXPECT_EQ(m.fs.result(0).recordNumber, 1u);
    EXPECT_EQ(m.fs.result(0).name, "split.txt");
    EXPECT_EQ(m.fs.result(0).firstSector, 12u);
}

TEST(RecordLocation, MftRunsInAnExtensionRecord) {
    // Record 0 holds VCN 0..3 at LCN 4; its attribute list names record 1,
    // which holds VCN 4..5 at LCN 20.
    MemoryVolume vol(8, {{4, 4}, {20, 2}}, 64);
    RecordBuilder mft;
    mft.add(standardInformation(Times::all(0), 0x06));
    mft.add(attributeList({listEntry(kStdInfo, 0, ref(0, 1)), listEntry(kFileName, 0, ref(0, 1)),
                           listEntry(kData, 0, ref(0, 1)), listEntry(kData, 4, ref(1, 1))}));
    mft.add(fileName(ref(5, 5), "$MFT", kWin32AndDos));
    NonResidentData head;
    head.runs = {{4, 4}};
    head.dataSize = 24 * 1024;
    mft.add(nonResident(head));
    vol.putRecord(0, mft.build());
    RecordBuilder ext;
    ext.recordNumber = 1;
    ext.baseReference = ref(0, 1);
    NonResidentData tail;
    tail.runs = {{20, 2}};
    tail.startVcn = 4;
    ext.add(nonResident(tail));
    vol.putRecord(1, ext.build());
    vol.putRecord(21, fileRecord(21, ref(5, 5), "far.txt", kInUse, 1).build());

    MemoryFs m(std::move(vol));
    m.open();
    MftReader& entry = m.fs.mftEntry();
    EXPECT_EQ(entry.recordCapacity(), 24u);
    EXPECT_EQ(entry.getSectorOfRecord(15), 7u * 8u + 6u);
    EXPECT_EQ(entry.getSectorOfRecord(16), 20u * 8u);
    EXPECT_EQ(entry.getSectorOfRecord(21), 21u * 8u + 2u);
    EXPECT_EQ(m.record(21).getName(), "far.txt");
    EXPECT_EQ(codeOf([&] { entry.getSectorOfRecord(24); }), kErrEndOfFile);
}

TEST(FileEntry, NamesAndDataFromExtensionRecords) {
    MemoryVolume vol(8, {{4, 16}}, 64);
    // 40: only a DOS name in the base; the Win32 name is in extension 41.
    RecordBuilder dosBase;
    dosBase.recordNumber = 40;
    dosBase.flags = 0;
    dosBase.add(standardInformation(kSiTimes));
    dosBase.add(attributeList({listEntry(kStdInfo, 0, ref(40, 1)), listEntry(kFileName, 0, ref(40, 1)),
                               listEntry(kFileName, 0, ref(41, 1))}));
    dosBase.add(fileName(ref(5, 5), "LONGNA~1.TXT", kDos));
    vol.putRecord(40, dosBase.build());
    RecordBuilder win32Ext;
    win32Ext.recordNumber = 41;
    win32Ext.baseReference = ref(40, 1);
    win32Ext.add(fileName(ref(5, 5), "Long name.txt", kWin32));
    vol.putRecord(41, win32Ext.build());

    // 42: no name in the base at all; name and the unnamed data's only
    // extent are in extension 43, a named stream stays in the base.
    RecordBuilder bare;
    bare.recordNumber = 42;
    bare.flags = 0;
    bare.add(standardInformation(kSiTimes));
    bare.add(attributeList({listEntry(kStdInfo, 0, ref(42, 1)), listEntry(kFileName, 0, ref(43, 1)),
                            listEntry(kData, 0, ref(42, 1)), listEntry(kData, 0, ref(43, 1))}));
    bare.add(resident(kData, Bytes(40, 7), "meta"));
    vol.putRecord(42, bare.build());
    RecordBuilder dataExt;
    dataExt.recordNumber = 43;
    dataExt.baseReference = ref(42, 1);
    dataExt.add(fileName(ref(5, 5), "only_in_ext.bin", kWin32));
    NonResidentData data;
    data.runs = {{50, 4}};
    data.dataSize = 12345;
    dataExt.add(nonResident(data));
    vol.putRecord(43, dataExt.build());

    MemoryFs m(std::move(vol));
    m.open();
    EXPECT_EQ(m.record(40).getName(), "Long name.txt");
    FileZ bareFile = m.record(42);
    EXPECT_EQ(bareFile.getName(), "only_in_ext.bin");
    EXPECT_EQ(bareFile.getRealSize(), 12345u);
    EXPECT_EQ(bareFile.getDirectoryReference().recordNumber(), 5u);
    EXPECT_EQ(bareFile.modificationTimeUtc(), kSiTimes.modified);
}

TEST(FileEntry, AttributeListInClustersOfItsOwnIsReadThroughTheVolume) {
    // 512-byte clusters, 64 of them; the MFT holds 12 records. Record 6's
    // list lies at cluster 50 and names its file name in extension 7; what
    // follows the list's data size in the cluster would not decode as entries.
    MemoryVolume vol(1, {{4, 24}}, 64);
    const Bytes list = concat({listEntry(kStdInfo, 0, ref(6, 1)), listEntry(kFileName, 0, ref(7, 1))});
    Bytes cluster = list;
    cluster.resize(512, 0xEE);
    vol.putClusters(50, cluster);
    auto base = [&](std::uint32_t number, const NonResidentData& al) {
        RecordBuilder b;
        b.recordNumber = number;
        b.flags = 0;
        b.add(standardInformation(kSiTimes));
        b.add(nonResident(al));
        return b;
    };
    NonResidentData al;
    al.type = kAttrList;
    al.runs = {{50, 1}};
    al.dataSize = list.size();
    vol.putRecord(6, base(6, al).build());
    RecordBuilder ext;
    ext.recordNumber = 7;
    ext.baseReference = ref(6, 1);
    ext.add(fileName(ref(5, 5), "listed.txt"));
    vol.putRecord(7, ext.build());
    // 8: the same list said to lie in cluster 70, past the volume's end.
    al.runs = {{70, 1}};
    const RecordBuilder past = base(8, al);
    vol.putRecord(8, past.build());
    // 9: at a cluster whose byte position does not fit in 64 bits.
    al.mappingPairs = Bytes{0x81, 0x01, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0x00};
    al.lastVcn = 0;
    vol.putRecord(9, base(9, al).build());

    MemoryFs m(std::move(vol));
    m.open();
    FileZ f = m.record(6);
    EXPECT_EQ(f.getName(), "listed.txt");
    ASSERT_EQ(f.records().front().attributeList.size(), 2u);
    EXPECT_EQ(f.records().front().attributeList[1].reference.recordNumber(), 7u);
    // Knowing the volume's size, the record refuses the runs and says where.
    ErrorException e = raised([&] { m.record(8); });
    EXPECT_EQ(e.code(), kErrRunlistField);
    EXPECT_EQ(e.recordNumber(), 8u);
    EXPECT_EQ(e.byteOffset(), past.attrOffset(1) + 0x40);
    EXPECT_EQ(codeOf([&] { m.record(9); }), kErrRunlistField);
    // Without it, reading the list fails instead.
    m.fs.close();
    m.g.totalClusters = 0;
    m.open();
    EXPECT_EQ(codeOf([&] { m.record(8); }), kErrReadDisk);
    EXPECT_EQ(codeOf([&] { m.record(9); }), kErrReadDisk);
}

} // namespace
