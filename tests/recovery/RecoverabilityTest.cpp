// The recoverable percentage on hand-built volumes, one rule per case: the
// clusters files in use claim, those $Bitmap marks in use that no file
// claims (unowned), the claims of deleted files modified later, the one
// file named as owning what was overwritten, sparse holes, compression units, the initialized size, extents in
// other records, clusters no run covers, a source cut short, and the files
// that are no result but still claim clusters. The fixture images are
// checked in SearchFixtureTest and RestoreFixtureTest against the facts.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "recovery/FilesystemNTFS.h"
#include "recovery/Recoverability.h"
#include "recovery/RestoreJob.h"
#include "recovery/SearchJob.h"
#include "support/RecordBuilder.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;
using namespace resurgo::test::rb;

namespace {

constexpr std::uint64_t kCluster = 4096;
constexpr std::uint64_t kT0 = 130000000000000000ULL;  // some day in 2012

// One deleted file of a case.
struct File {
    std::uint32_t record;
    std::uint64_t modified;  // days after kT0
    NonResidentData data;
    bool named = true;
};

NonResidentData plain(std::vector<Run> runs, std::uint64_t size = 0) {
    NonResidentData d;
    d.runs = std::move(runs);
    d.dataSize = size != 0 ? size : clustersOf(d.runs) * kCluster;
    return d;
}

struct Case {
    const char* what;
    std::vector<File> files;
    std::vector<std::uint64_t> used;  // clusters marked in use besides the system's
    std::map<std::uint32_t, int> expected;
    bool bitmap = true;
    std::uint64_t sourceClusters = 64;
    // The clusters marked in use are claimed by a file in use (record 60).
    bool owned = true;
    // When given: per result, "u" and its unowned share, "by" and the
    // record named as owning what was overwritten (results with neither
    // left out).
    std::optional<std::map<std::uint32_t, std::string>> notes = std::nullopt;
};
using Notes = std::map<std::uint32_t, std::string>;

constexpr std::uint32_t kLiveRecord = 60;

// 64 clusters of 4 KiB: MFT in clusters 4-19, $Bitmap (record 6) in 20.
std::vector<std::uint8_t> build(const Case& c) {
    MemoryVolume vol(8, {{4, 16}}, 64);
    if (c.bitmap) {
        RecordBuilder bitmap = fileRecord(6, ref(5, 5), "$Bitmap", kInUse, 6);
        NonResidentData d = plain({{20, 1}}, 8);
        bitmap.add(nonResident(d));
        vol.putRecord(6, bitmap.build());
        Bytes bits(kCluster, 0);
        auto mark = [&bits](std::uint64_t lcn) { bits[lcn / 8] |= static_cast<std::uint8_t>(1u << (lcn % 8)); };
        for (std::uint64_t lcn = 0; lcn <= 20; ++lcn) mark(lcn);
        for (std::uint64_t lcn : c.used) mark(lcn);
        vol.putClusters(20, bits);
    }
    if (c.owned && !c.used.empty()) {
        RecordBuilder live = fileRecord(kLiveRecord, ref(5, 5), "live.bin", kInUse, 1);
        std::vector<Run> runs;
        for (std::uint64_t lcn : c.used) runs.push_back({lcn, 1});
        live.add(nonResident(plain(runs)));
        vol.putRecord(kLiveRecord, live.build());
    }
    for (const File& f : c.files) {
        const Times t = Times::all(kT0 + f.modified * kDay);
        RecordBuilder b;
        b.recordNumber = f.record;
        b.flags = 0;
        b.sequence = 2;
        b.add(standardInformation(t));
        if (f.named) b.add(fileName(ref(5, 5), "f" + std::to_string(f.record) + ".bin", kWin32, t));
        b.add(nonResident(f.data));
        vol.putRecord(f.record, b.build());
    }
    vol.image.resize(static_cast<std::size_t>(c.sourceClusters * kCluster));
    return vol.image;
}

std::vector<FOUND_FILE> found(const std::vector<std::uint8_t>& image, const SEARCH_FILTER& filter) {
    MemoryPlatform p(image);
    ScopedPlatform scoped(p);
    MemoryVolume shape(8, {{4, 16}}, 64);
    NTFS_GEOMETRY g = shape.geometry();
    FilesystemNTFS fs;
    fs.open(g);
    fs.findFiles(filter, SEARCH_CONTEXT{});
    std::vector<FOUND_FILE> out = fs.results();
    fs.close();
    return out;
}

std::map<std::uint32_t, int> search(const std::vector<std::uint8_t>& image, const SEARCH_FILTER& filter) {
    std::map<std::uint32_t, int> out;
    for (const FOUND_FILE& f : found(image, filter)) out[static_cast<std::uint32_t>(f.recordNumber)] = f.recoverable;
    return out;
}

std::map<std::uint32_t, std::string> notesOf(const std::vector<std::uint8_t>& image, const SEARCH_FILTER& filter) {
    std::map<std::uint32_t, std::string> out;
    for (const FOUND_FILE& f : found(image, filter)) {
        std::string note = f.unowned != 0 ? "u" + std::to_string(f.unowned) : std::string();
        if (f.overwrittenBy != FOUND_FILE::kNoRecord) {
            note += (note.empty() ? "by" : " by") + std::to_string(f.overwrittenBy);
        }
        if (!note.empty()) out[static_cast<std::uint32_t>(f.recordNumber)] = note;
    }
    return out;
}

SEARCH_FILTER everything() {
    SEARCH_FILTER filter;
    filter.days = 1000000;
    return filter;
}

TEST(Recoverability, EachRuleOnHandBuiltFiles) {
    NonResidentData compressed;
    compressed.runs = {{30, 4}, sparseRun(12), {40, 4}, sparseRun(12)};
    compressed.dataSize = 32 * kCluster;
    compressed.flags = 0x0001;
    compressed.compressionUnit = 4;
    NonResidentData initialized = plain({{30, 4}});
    initialized.initializedSize = kCluster;
    NonResidentData holes = plain({{30, 1}, sparseRun(3)});
    holes.flags = 0x8000;

    const std::vector<Case> cases = {
        {"free clusters come back", {{30, 0, plain({{30, 4}})}}, {}, {{30, 100}}},
        {"clusters in use are lost", {{30, 0, plain({{30, 4}})}}, {31}, {{30, 75}}},
        {"the percentage is rounded down", {{30, 0, plain({{30, 4}}, 3 * kCluster + 100)}}, {33}, {{30, 99}}},
        {"a deleted file modified later takes its clusters",
         {{30, 1, plain({{30, 4}})}, {31, 2, plain({{32, 2}})}}, {}, {{30, 50}, {31, 100}}},
        {"equal times take nothing from each other",
         {{30, 2, plain({{30, 4}})}, {31, 2, plain({{32, 2}})}}, {}, {{30, 100}, {31, 100}}},
        {"a file modified earlier takes nothing", {{30, 2, plain({{30, 4}})}, {31, 1, plain({{30, 4}})}}, {},
         {{30, 100}, {31, 0}}},
        {"the latest of three keeps the clusters",
         {{30, 1, plain({{30, 4}})}, {31, 3, plain({{31, 2}})}, {32, 2, plain({{30, 4}})}}, {},
         {{30, 0}, {31, 100}, {32, 50}}},
        {"sparse holes are zeros and come back", {{30, 0, holes}}, {30}, {{30, 75}}},
        {"a compression unit comes back whole or not at all", {{30, 0, compressed}}, {41}, {{30, 50}}},
        {"past the initialized size the data is zeros", {{30, 0, initialized}}, {31, 32, 33}, {{30, 100}}},
        {"below the initialized size it is not", {{30, 0, initialized}}, {30}, {{30, 75}}},
        {"clusters no run covers never come back", {{30, 0, plain({{30, 2}}, 4 * kCluster)}}, {}, {{30, 50}}},
        {"a record left nameless still takes clusters",
         {{30, 1, plain({{30, 4}})}, {31, 2, plain({{30, 1}}), false}}, {}, {{30, 75}}},
        {"without a $Bitmap only the claims count",
         {{30, 1, plain({{30, 4}})}, {31, 2, plain({{32, 1}})}}, {30}, {{30, 75}, {31, 100}}, false},
        {"clusters past the end of a cut-off source are lost", {{30, 0, plain({{30, 4}})}}, {}, {{30, 50}}, true, 32},
        {"clusters in use that no file claims come back, counted apart", {{30, 0, plain({{30, 4}})}}, {31}, {{30, 100}},
         true, 64, false, Notes{{30, "u25"}}},
        {"a compressed unit with an unowned cluster counts whole", {{30, 0, compressed}}, {41}, {{30, 100}}, true, 64,
         false, Notes{{30, "u50"}}},
        {"the file in use that took the clusters is named", {{30, 0, plain({{30, 4}})}}, {31}, {{30, 75}}, true, 64,
         true, Notes{{30, "by60"}}},
        {"so is a deleted file modified later", {{30, 1, plain({{30, 4}})}, {31, 2, plain({{32, 2}})}}, {},
         {{30, 50}, {31, 100}}, true, 64, true, Notes{{30, "by31"}}},
        {"a file in use that took them from the later one is named instead",
         {{30, 1, plain({{30, 4}})}, {31, 2, plain({{30, 2}})}}, {30, 31}, {{30, 50}, {31, 0}}, true, 64, true,
         Notes{{30, "by60"}, {31, "by60"}}},
        {"two files overwriting name neither", {{30, 1, plain({{30, 4}})}, {31, 2, plain({{32, 2}})}}, {30},
         {{30, 25}, {31, 100}}, true, 64, true, Notes{}},
    };
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> image = build(c);
        EXPECT_EQ(search(image, everything()), c.expected) << c.what;
        if (c.notes) {
            EXPECT_EQ(notesOf(image, everything()), *c.notes) << c.what;
        }
    }
}

TEST(Recoverability, ExtentsInExtensionRecordsCount) {
    // 42: VCN 2..3 in the base record, VCN 0..1 in extension record 43.
    Case c{"", {}, {31}, {}};
    std::vector<std::uint8_t> image = build(c);
    MemoryVolume vol(8, {{4, 16}}, 64);
    vol.image = image;
    RecordBuilder base;
    base.recordNumber = 42;
    base.flags = 0;
    base.sequence = 2;
    base.add(standardInformation(Times::all(kT0)));
    base.add(attributeList({listEntry(kStdInfo, 0, ref(42, 2)), listEntry(kFileName, 0, ref(42, 2)),
                            listEntry(kData, 0, ref(43, 2)), listEntry(kData, 2, ref(42, 2))}));
    base.add(fileName(ref(5, 5), "spread.bin"));
    NonResidentData high = plain({{37, 2}});
    high.startVcn = 2;
    base.add(nonResident(high));
    vol.putRecord(42, base.build());
    RecordBuilder ext;
    ext.recordNumber = 43;
    ext.sequence = 2;
    ext.baseReference = ref(42, 2);
    ext.add(nonResident(plain({{35, 1}, {31, 1}}, 4 * kCluster)));
    vol.putRecord(43, ext.build());
    EXPECT_EQ(search(vol.image, everything()), (std::map<std::uint32_t, int>{{42, 75}}));
}

TEST(Recoverability, FilesLeftOutOfTheResultsStillClaimAndTheLeastIsAFilter) {
    const Case c{"", {{30, 1, plain({{30, 4}})}, {31, 2, plain({{30, 2}})}, {32, 0, plain({{50, 2}})}}, {51}, {}};
    const std::vector<std::uint8_t> image = build(c);
    SEARCH_FILTER filter = everything();
    filter.pattern = "f30.*";
    EXPECT_EQ(search(image, filter), (std::map<std::uint32_t, int>{{30, 50}}));
    filter = everything();
    filter.minRecoverable = 50;
    EXPECT_EQ(search(image, filter), (std::map<std::uint32_t, int>{{30, 50}, {31, 100}, {32, 50}}));
    filter.minRecoverable = 51;
    EXPECT_EQ(search(image, filter), (std::map<std::uint32_t, int>{{31, 100}}));
    filter = everything();
    filter.record = 30;
    filter.pattern = "no match";
    EXPECT_EQ(search(image, filter), (std::map<std::uint32_t, int>{{30, 50}}));

    // A restore of one record weighs it against every deleted file.
    MemoryPlatform p(image);
    ScopedPlatform scoped(p);
    MemoryVolume shape(8, {{4, 16}}, 64);
    NTFS_GEOMETRY g = shape.geometry();
    SearchJob job;
    job.filesystem.open(g);
    {
        RestoreJob restore(job);
        for (const auto& [record, expected] : std::map<std::uint64_t, int>{{30, 50}, {31, 100}, {32, 50}}) {
            ASSERT_EQ(restore.select(record), RestoreJob::Status::Ready);
            EXPECT_EQ(restore.measureRecoverable(), expected) << record;
        }
    }
    EXPECT_EQ(job.filesystem.resultCount(), 0u);  // the search's results are not touched
    job.filesystem.close();
}

TEST(Recoverability, PercentIsRoundedDownForAnySize) {
    struct Row {
        std::uint64_t part, whole;
        int expected;
    };
    for (const Row& r : {Row{0, 0, 100}, Row{0, 5, 0}, Row{1, 3, 33}, Row{2, 3, 66}, Row{99, 100, 99},
                         Row{100, 100, 100}, Row{1ULL << 62, 1ULL << 63, 50}, Row{(1ULL << 63) - 1, 1ULL << 63, 99},
                         Row{UINT64_MAX - 1, UINT64_MAX, 99}}) {
        EXPECT_EQ(Recoverability::percent(r.part, r.whole), r.expected) << r.part << "/" << r.whole;
    }
}

} // namespace
