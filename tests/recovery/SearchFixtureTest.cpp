// The deleted-file search end to end on the fixture images, checked against
// the facts recorded from the ntfs-3g mount, plus the age filter and the
// walk's resilience on small hand-built volumes.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "recovery/FilesystemNTFS.h"
#include "recovery/ProgressSink.h"
#include "recovery/SearchJob.h"
#include "source/ContainerFormat.h"
#include "source/ShadowVolume.h"
#include "support/RecordBuilder.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;
using json = nlohmann::json;

namespace {

const char* const kFixtures[] = {"basic", "demo", "c512", "s4096"};

// What the search should show for one deleted file of the facts.
struct Expected {
    std::string name, directory;
    std::uint64_t size = 0, firstSector = 0, mtime = 0, crtime = 0, atime = 0;
    int recoverable = 0;
};

// "." -> ".\", "a/b" -> "a\b\".
std::string shownDirectory(const std::string& facts) {
    if (facts == ".") return ".\\";
    std::string d = facts;
    std::replace(d.begin(), d.end(), '/', '\\');
    return d + "\\";
}

// First sector of MFT record n, through the MFT's runs as the facts list them.
std::uint64_t recordSector(const json& facts, std::uint64_t n) {
    const auto cluster = facts["cluster_size"].get<std::uint64_t>();
    const auto sector = facts["bytes_per_sector"].get<std::uint64_t>();
    std::uint64_t offset = n * facts["mft_record_size"].get<std::uint64_t>();
    for (const auto& run : facts["mft_data_run_list"]) {
        const std::uint64_t bytes = run[1].get<std::uint64_t>() * cluster;
        if (offset < bytes) return (run[0].get<std::uint64_t>() * cluster + offset) / sector;
        offset -= bytes;
    }
    ADD_FAILURE() << "record " << n << " beyond the MFT's runs";
    return 0;
}

// A deleted non-directory that still has a name can be listed; a record
// left nameless by its deletion cannot.
bool listable(const json& f) {
    return f["deleted"].get<bool>() && !f["is_dir"].get<bool>() && !f.value("nameless_after_delete", false);
}

std::map<std::uint64_t, Expected> expectedFor(const std::string& fixture) {
    const json facts = fixtureFacts(fixture);
    std::map<std::uint64_t, Expected> out;
    for (const auto& f : facts["files"]) {
        if (!listable(f)) continue;
        const auto record = f["record"].get<std::uint64_t>();
        Expected& e = out[record];
        e.name = f["name"].get<std::string>();
        e.directory = shownDirectory(f["directory"].get<std::string>());
        e.size = f["size"].get<std::uint64_t>();
        e.firstSector = recordSector(facts, record);
        e.mtime = f["mtime_nt"].get<std::uint64_t>();
        e.crtime = f["crtime_nt"].get<std::uint64_t>();
        e.atime = f["atime_nt"].get<std::uint64_t>();
        e.recoverable = f["recoverable_tsk"].get<int>();
    }
    return out;
}

std::set<std::uint64_t> records(const std::vector<FOUND_FILE>& results) {
    std::set<std::uint64_t> s;
    for (const auto& r : results) s.insert(r.recordNumber);
    return s;
}

template <class Pred>
std::set<std::uint64_t> expectedWhere(const std::string& fixture, Pred pred) {
    std::set<std::uint64_t> s;
    for (const auto& [record, e] : expectedFor(fixture)) {
        if (pred(e)) s.insert(record);
    }
    return s;
}

void search(SearchJob& job, const std::string& root, const std::string& pattern = "*", std::int32_t days = 1000000,
            ProgressSink* sink = nullptr, const std::atomic<std::uint8_t>* cancel = nullptr) {
    job.driveRoot = root;
    job.pattern = pattern;
    job.days = days;
    job.run(sink, cancel);
}

void expectExactListing(const SearchJob& job, const std::string& fixture) {
    SCOPED_TRACE(fixture);
    ASSERT_EQ(job.outcome(), SearchJob::Outcome::Completed);
    const auto expected = expectedFor(fixture);
    const auto& results = job.filesystem.results();
    std::set<std::uint64_t> want;
    for (const auto& kv : expected) want.insert(kv.first);
    EXPECT_EQ(records(results), want);
    EXPECT_TRUE(std::is_sorted(results.begin(), results.end(),
                               [](const FOUND_FILE& a, const FOUND_FILE& b) { return a.recordNumber < b.recordNumber; }));
    for (const FOUND_FILE& r : results) {
        auto it = expected.find(r.recordNumber);
        if (it == expected.end()) continue;
        const Expected& e = it->second;
        SCOPED_TRACE("record " + std::to_string(r.recordNumber));
        EXPECT_EQ(r.name, e.name);
        EXPECT_EQ(r.directory, e.directory);
        EXPECT_EQ(r.size, e.size);
        EXPECT_EQ(r.firstSector, e.firstSector);
        EXPECT_EQ(r.lastModificationTime.utc(), e.mtime);
        EXPECT_EQ(r.creationTime.utc(), e.crtime);
        EXPECT_EQ(r.lastAccessTime.utc(), e.atime);
        EXPECT_EQ(r.recoverable, e.recoverable);
    }
}

class SearchFixture : public ::testing::TestWithParam<std::string> {};

TEST_P(SearchFixture, ListsExactlyTheDeletedFilesOfTheFacts) {
    SearchJob job;
    search(job, fixtureImage(GetParam()));
    expectExactListing(job, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Images, SearchFixture, ::testing::Values("basic", "demo", "c512", "s4096", "reuse"));

// A volume of 4 KiB sectors with 1 KiB records (as Windows formats some):
// the basic volume with its boot sector saying 4096-byte sectors, one per
// cluster, lists the same files at the same places.
TEST(Search, FourKibSectorsWithKibRecordsListAsTheSameVolume) {
    const std::string image = copyFile(fixtureImage("basic"), tempDir("search4kn") + "/4kn.img");
    std::vector<std::uint8_t> boot(512);
    std::ifstream(image, std::ios::binary).read(reinterpret_cast<char*>(boot.data()), 512);
    const std::uint64_t sectors = static_cast<std::uint64_t>(boot[40]) | static_cast<std::uint64_t>(boot[41]) << 8 |
                                  static_cast<std::uint64_t>(boot[42]) << 16 | static_cast<std::uint64_t>(boot[43]) << 24;
    ASSERT_EQ(boot[11] | boot[12] << 8, 512);
    ASSERT_EQ(boot[13], 8);
    const std::uint64_t wide = sectors / 8;
    patchFile(image, 11, {0x00, 0x10, 1});
    patchFile(image, 40, {static_cast<std::uint8_t>(wide), static_cast<std::uint8_t>(wide >> 8),
                          static_cast<std::uint8_t>(wide >> 16), static_cast<std::uint8_t>(wide >> 24)});
    SearchJob job;
    search(job, image);
    expectExactListing(job, "basic");
}

TEST(Search, NamelessAndInUseRecordsAreNotListed) {
    SearchJob job;
    search(job, fixtureImage("basic"));
    const std::set<std::uint64_t> found = records(job.filesystem.results());
    const json facts = fixtureFacts("basic");
    for (const auto& f : facts["files"]) {
        if (listable(f)) continue;
        EXPECT_EQ(found.count(f["record"].get<std::uint64_t>()), 0u) << f["name"];
    }
    // Formatted but unused reserved records and extension records are not files.
    for (std::uint64_t r : found) EXPECT_GE(r, 24u);
    for (const auto& ext : facts["extension_records"]) {
        EXPECT_EQ(found.count(ext["record"].get<std::uint64_t>()), 0u);
    }
}

TEST(Search, PatternsIgnoreCaseAndMatchWholeCharacters) {
    SearchJob job;
    auto lowerAscii = [](std::string s) {
        for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    auto endsWith = [&](const std::string& suffix) {
        return [=](const Expected& e) {
            std::string n = lowerAscii(e.name);
            return n.size() >= suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0;
        };
    };
    auto named = [](const std::string& name) { return [=](const Expected& e) { return e.name == name; }; };
    const std::pair<std::string, std::set<std::uint64_t>> cases[] = {
        {"*.txt", expectedWhere("basic", endsWith(".txt"))},
        {"*.TXT", expectedWhere("basic", endsWith(".txt"))},
        {"COMP_*", expectedWhere("basic", [&](const Expected& e) { return lowerAscii(e.name).rfind("comp_", 0) == 0; })},
        {"ПРИМЕР*", expectedWhere("basic", named("Пример.txt"))},
        {"caf?.txt", expectedWhere("basic", named("café.txt"))},
        {"???.txt", expectedWhere("basic", named("日本語.txt"))},
        {"smile_?.TXT", expectedWhere("basic", named("smile_😀.txt"))},
        {"ελληνικά.*", expectedWhere("basic", named("Ελληνικά.dat"))},
        {"", {}},
        {"no_such_file*", {}},
    };
    for (const auto& [pattern, want] : cases) {
        search(job, fixtureImage("basic"), pattern);
        EXPECT_EQ(job.outcome(), SearchJob::Outcome::Completed) << pattern;
        EXPECT_EQ(records(job.filesystem.results()), want) << "pattern '" << pattern << "'";
    }
    EXPECT_FALSE(expectedWhere("basic", endsWith(".txt")).empty());

    search(job, fixtureImage("basic"), std::string(255, '*'));
    EXPECT_EQ(job.outcome(), SearchJob::Outcome::Completed);
    EXPECT_EQ(job.filesystem.resultCount(), expectedFor("basic").size());
    search(job, fixtureImage("basic"), std::string(256, '*'));
    EXPECT_EQ(job.outcome(), SearchJob::Outcome::BadPattern);
    EXPECT_EQ(job.filesystem.resultCount(), 0u);
}

TEST(Search, AgeLimitOnTheFixtures) {
    SearchJob job;
    search(job, fixtureImage("demo"), "*", 0);  // nothing changes after "now"
    EXPECT_EQ(job.outcome(), SearchJob::Outcome::Completed);
    EXPECT_EQ(job.filesystem.resultCount(), 0u);

    // Far enough back to cover every creation time of the facts.
    std::uint64_t oldest = ~0ULL;
    for (const auto& [record, e] : expectedFor("demo")) oldest = std::min(oldest, e.crtime);
    const std::uint64_t now = platform().currentUtc();
    ASSERT_GT(now, oldest);
    search(job, fixtureImage("demo"), "*", static_cast<std::int32_t>((now - oldest) / rb::kDay + 1));
    EXPECT_EQ(job.filesystem.resultCount(), expectedFor("demo").size());
}

class Recorder : public ProgressSink {
public:
    void setPosition(int position) override {
        positions.push_back(position);
        if (cancelAt >= 0 && position >= cancelAt && cancel != nullptr) cancel->store(1);
    }
    void setDetail(const std::string& detail) override {
        if (detail.find("without records") == std::string::npos) return;
        carveFrom = positions.empty() ? 0 : positions.back();
        if (cancelInCarve && cancel != nullptr) cancel->store(1);
    }
    std::vector<int> positions;
    int cancelAt = -1;
    std::atomic<std::uint8_t>* cancel = nullptr;
    // Where the carve began on the scale (-1: it did not), and whether to
    // cancel the search there.
    int carveFrom = -1;
    bool cancelInCarve = false;
};

// 0 first, 100 last, never going back: the walk, naming the directories,
// the recoverable percentages, a deep scan and a carve all on one scale,
// the carve with its own share of it; a cancel during the carve stops it.
TEST(Search, ProgressRunsFromZeroToHundredNeverBack) {
    const struct {
        const char* fixture;
        bool deep, carve, cancelInCarve;
    } cases[] = {
        {"basic", false, false, false}, {"demo", false, false, false},  {"c512", false, false, false},
        {"s4096", false, false, false}, {"basic", false, true, false},  {"basic", true, true, false},
        {"carve-nomft", false, true, false}, {"basic", false, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + (c.deep ? " deep" : "") + (c.carve ? " carve" : "") +
                     (c.cancelInCarve ? " cancelled" : ""));
        SearchJob job;
        job.options.deep = c.deep;
        job.options.carve = c.carve;
        Recorder rec;
        std::atomic<std::uint8_t> cancel{0};
        rec.cancel = &cancel;
        rec.cancelInCarve = c.cancelInCarve;
        search(job, fixtureImage(c.fixture), "*", 1000000, &rec, &cancel);
        ASSERT_GE(rec.positions.size(), c.cancelInCarve ? 1u : 3u);
        EXPECT_EQ(rec.positions.front(), 0);
        EXPECT_TRUE(std::is_sorted(rec.positions.begin(), rec.positions.end()));
        if (c.carve) {
            EXPECT_GE(rec.carveFrom, 0);
            EXPECT_LT(rec.carveFrom, 100);
        } else {
            EXPECT_EQ(rec.carveFrom, -1);
        }
        if (c.cancelInCarve) {
            EXPECT_EQ(job.outcome(), SearchJob::Outcome::Cancelled);
            EXPECT_LT(rec.positions.back(), 100);
        } else {
            EXPECT_EQ(rec.positions.back(), 100);
            EXPECT_EQ(job.outcome(), SearchJob::Outcome::Completed);
        }
    }
}

// The real volume vsstest with its two shadow copies: the walk of the
// volume and of each copy take a third of the scale each, the newest copy
// first. Cancelled during the newest copy's walk, the oldest copy (the one
// that holds /syslog, record 35) is never walked.
TEST(Search, ShadowCopyWalksShareTheProgressAndCancelStopsThem) {
    const char* env = std::getenv("RESURGO_REAL_IMAGES");
    const std::string real = std::string(env != nullptr ? env : RESURGO_REAL_IMAGES) + "/formats/vsstest.qcow2";
    if (!std::filesystem::exists(real)) GTEST_SKIP() << "no " << real;
    if (!ContainerFormat::supported() || !ShadowVolume::readsStores()) GTEST_SKIP() << "built without QCOW2 or store reading";
    struct Case {
        int cancelAt;  // -1: never
        SearchJob::Outcome outcome;
        bool syslog;
    };
    for (const Case& c : {Case{-1, SearchJob::Outcome::Completed, true}, Case{50, SearchJob::Outcome::Cancelled, false}}) {
        SCOPED_TRACE(c.cancelAt);
        SearchJob job;
        job.options.snapshots = true;
        Recorder rec;
        std::atomic<std::uint8_t> cancel{0};
        rec.cancel = &cancel;
        rec.cancelAt = c.cancelAt;
        search(job, real, "*", 1000000, &rec, &cancel);
        EXPECT_EQ(job.outcome(), c.outcome);
        EXPECT_TRUE(std::is_sorted(rec.positions.begin(), rec.positions.end()));
        // The volume's walk ends at a third; each copy's walk moves the bar.
        EXPECT_TRUE(std::count(rec.positions.begin(), rec.positions.end(), 33) > 0);
        EXPECT_TRUE(std::any_of(rec.positions.begin(), rec.positions.end(), [](int p) { return p > 33 && p < 66; }));
        EXPECT_EQ(!rec.positions.empty() && rec.positions.back() == 100, c.cancelAt < 0);
        bool syslog = false;
        for (const FOUND_FILE& f : job.filesystem.results()) syslog = syslog || (f.recordNumber == 35 && f.snapshot == 1);
        EXPECT_EQ(syslog, c.syslog);
    }
}

TEST(Search, CancelStopsTheWalkWithASubset) {
    SearchJob job;
    search(job, fixtureImage("basic"));
    const std::set<std::uint64_t> all = records(job.filesystem.results());

    Recorder rec;
    std::atomic<std::uint8_t> cancel{0};
    rec.cancel = &cancel;
    rec.cancelAt = 50;
    search(job, fixtureImage("basic"), "*", 1000000, &rec, &cancel);
    EXPECT_EQ(job.outcome(), SearchJob::Outcome::Cancelled);
    const std::set<std::uint64_t> partial = records(job.filesystem.results());
    EXPECT_TRUE(std::includes(all.begin(), all.end(), partial.begin(), partial.end()));
    EXPECT_LT(partial.size(), all.size());
    EXPECT_FALSE(partial.empty());  // half of basic's MFT holds the first deleted files
    // What was found is a prefix of the full listing.
    EXPECT_TRUE(std::equal(partial.begin(), partial.end(), all.begin()));
}

TEST(Search, BadBootSectorGivesNoResults) {
    const std::string dir = tempDir("search-boot");
    const std::string zeroed = copyFile(fixtureImage("demo"), dir + "/zeroed.img");
    patchFile(zeroed, 0, std::vector<std::uint8_t>(512, 0));
    const std::string text = dir + "/notes.txt";
    writeFile(text, std::vector<std::uint8_t>(1 << 20, 'x'));

    SearchJob job;
    for (const std::string& bad : {zeroed, text, dir + "/missing.img"}) {
        search(job, fixtureImage("demo"));
        ASSERT_GT(job.filesystem.resultCount(), 0u);
        search(job, bad);
        EXPECT_EQ(job.outcome(), SearchJob::Outcome::BootFailed) << bad;
        EXPECT_TRUE(job.failure().has_value()) << bad;
        EXPECT_EQ(job.filesystem.resultCount(), 0u) << bad;
    }
}

TEST(Search, OneJobOverEveryImageKeepsNoStaleNames) {
    SearchJob job;
    for (int round = 0; round < 2; ++round) {
        for (const char* fixture : kFixtures) {
            search(job, fixtureImage(fixture));
            expectExactListing(job, fixture);
        }
    }
}

// ---------------------------------------------------------------------------
// Hand-built volumes: the age test on $STANDARD_INFORMATION, and records
// that fail after opening or can't be read.

class FixedClock : public MemoryPlatform {
public:
    FixedClock(std::vector<std::uint8_t> image, std::uint64_t now) : MemoryPlatform(std::move(image)), now_(now) {}
    std::uint64_t currentUtc() override { return now_; }

private:
    std::uint64_t now_;
};

TEST(Search, AgeTestUsesStandardInformationTimes) {
    using namespace rb;
    const std::uint64_t now = 134000000000000000ULL;
    const std::uint64_t lastYear = now - 400 * kDay, anHourAgo = now - 3600 * kSecond;
    MemoryVolume vol(8, {{4, 16}}, 64);
    auto put = [&](std::uint32_t n, const std::string& name, Times si, Times fn) {
        RecordBuilder b;
        b.recordNumber = n;
        b.flags = 0;
        b.add(standardInformation(si));
        b.add(fileName(ref(5, 5), name, kWin32, fn));
        b.add(resident(kData, Bytes(10, 1)));
        vol.putRecord(n, b.build());
    };
    put(30, "edited_today.txt", Times{lastYear, anHourAgo, anHourAgo, anHourAgo}, Times::all(lastYear));
    put(31, "renamed_today.txt", Times::all(lastYear), Times::all(anHourAgo));
    put(32, "created_today.txt", Times{anHourAgo, lastYear, lastYear, lastYear}, Times::all(lastYear));

    FixedClock clock(vol.image, now);
    ScopedPlatform scoped(clock);
    NTFS_GEOMETRY g = vol.geometry();
    FilesystemNTFS fs;
    fs.open(g);
    fs.findFiles(SEARCH_FILTER{1, "*"}, SEARCH_CONTEXT{});
    EXPECT_EQ(records(fs.results()), (std::set<std::uint64_t>{30, 32}));
    for (const FOUND_FILE& f : fs.results()) {
        if (f.recordNumber == 30) {
            EXPECT_EQ(f.lastModificationTime.utc(), anHourAgo);
        }
    }
    fs.clearResults();
    fs.findFiles(SEARCH_FILTER{401, "*"}, SEARCH_CONTEXT{});
    EXPECT_EQ(records(fs.results()), (std::set<std::uint64_t>{30, 31, 32}));
    fs.close();
}

TEST(Search, FailingRecordsAreSkippedAndTheWalkGoesOn) {
    using namespace rb;
    MemoryVolume vol(8, {{4, 16}}, 64);
    auto deleted = [&](std::uint32_t n, const std::string& name, bool withData) {
        RecordBuilder b = fileRecord(n, ref(5, 5), name, 0, 2);
        if (withData) b.add(resident(kData, Bytes(10, 1)));
        vol.putRecord(n, b.build());
    };
    deleted(40, "before.txt", true);
    deleted(41, "no_data.txt", false);    // opens, but has no size
    deleted(42, "unreadable.txt", true);  // its sectors fail to read
    deleted(43, "after.txt", true);
    Bytes torn = fileRecord(44, ref(5, 5), "torn.txt", 0, 2).build();
    torn[1022] ^= 0xFF;  // fixup word no longer matches
    vol.putRecord(44, torn);
    deleted(63, "last.txt", true);

    MemoryPlatform p(vol.image);
    p.badRanges.push_back({vol.mftByte(42 * 1024), 1024});
    ScopedPlatform scoped(p);
    NTFS_GEOMETRY g = vol.geometry();
    FilesystemNTFS fs;
    fs.open(g);
    fs.findFiles(SEARCH_FILTER{1000000, "*"}, SEARCH_CONTEXT{});
    EXPECT_EQ(records(fs.results()), (std::set<std::uint64_t>{40, 43, 63}));
    fs.close();
}

// Enough deleted files to fill many scan chunks on several threads and to
// be collected on several threads: the results must be exactly what
// opening every record on its own gives, in record order.
TEST(Search, ManyChunksGiveWhatOpeningEachRecordGives) {
    using namespace rb;
    const std::uint64_t now = 134000000000000000ULL;
    // 4 KiB clusters, the MFT in two runs of 1,600 clusters: 12,800 records.
    MemoryVolume vol(8, {{64, 1600}, {1800, 1600}}, 3400);
    const std::uint32_t records = 12800;
    // Directories 16..47, each under the one before it (every eighth under
    // the root); 40..47 are deleted.
    for (std::uint32_t d = 16; d < 48; ++d) {
        const std::uint64_t parent = d % 8 == 0 ? ref(5, 5) : ref(d - 1, 1);
        const std::uint16_t flags = d < 40 ? kInUse | kDirectory : kDirectory;
        vol.putRecord(d, fileRecord(d, parent, "dir" + std::to_string(d), flags, 1).build());
    }
    // Files: every fifth in use; one in 97 names its directory with another
    // sequence number; ages spread over 200 days.
    for (std::uint32_t n = 48; n < records; ++n) {
        const std::uint64_t parent = ref(16 + n % 32, n % 97 == 0 ? 9 : 1);
        const Times t = Times::all(now - (n % 200) * kDay - kSecond);
        RecordBuilder b = fileRecord(n, parent, "file" + std::to_string(n) + ".txt", n % 5 == 0 ? kInUse : 0, 2, t);
        b.add(resident(kData, Bytes(n % 50, 1)));
        vol.putRecord(n, b.build());
    }

    FixedClock clock(vol.image, now);
    ScopedPlatform scoped(clock);
    NTFS_GEOMETRY g = vol.geometry();
    for (const auto& [days, pattern] : std::vector<std::pair<std::int32_t, std::string>>{{1000, "*"}, {30, "FILE*7.TXT"}}) {
        SCOPED_TRACE(pattern);
        FilesystemNTFS fs;
        fs.open(g);
        fs.findFiles(SEARCH_FILTER{days, pattern}, SEARCH_CONTEXT{});

        // The same filter applied to each record opened on its own.
        FilesystemNTFS one;
        one.open(g);
        std::vector<FOUND_FILE> expected;
        for (std::uint64_t n = 0; n < one.mftEntry().recordCapacity(); ++n) {
            FileZ f;
            try {
                f.openRecord(one.volume(), g, &one.mftEntry(), n);
            } catch (const ErrorException&) {
                continue;
            }
            if (f.isDirectory() || !f.isDeleted() || !f.matchName(pattern)) continue;
            if (!f.getLastModificationTime().isWithinDays(days, now) && !f.getCreationTime().isWithinDays(days, now)) {
                continue;
            }
            FOUND_FILE e(n, f.firstSector(), f.getName());
            e.directory = one.getDirectoryPath(f);
            e.size = f.getRealSize();
            e.lastModificationTime = f.getLastModificationTime();
            e.creationTime = f.getCreationTime();
            e.lastAccessTime = f.getLastAccessTime();
            expected.push_back(e);
        }
        ASSERT_EQ(fs.resultCount(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const FOUND_FILE& r = fs.result(i);
            const FOUND_FILE& e = expected[i];
            ASSERT_EQ(r.recordNumber, e.recordNumber) << i;
            EXPECT_EQ(r.firstSector, e.firstSector) << r.recordNumber;
            EXPECT_EQ(r.name, e.name) << r.recordNumber;
            EXPECT_EQ(r.directory, e.directory) << r.recordNumber;
            EXPECT_EQ(r.size, e.size) << r.recordNumber;
            EXPECT_EQ(r.lastModificationTime.utc(), e.lastModificationTime.utc()) << r.recordNumber;
            EXPECT_EQ(r.creationTime.utc(), e.creationTime.utc()) << r.recordNumber;
            EXPECT_EQ(r.lastAccessTime.utc(), e.lastAccessTime.utc()) << r.recordNumber;
        }
        fs.close();
        one.close();
    }

    // A few results checked against the volume as it was built.
    FilesystemNTFS fs;
    fs.open(g);
    fs.findFiles(SEARCH_FILTER{1000, "*"}, SEARCH_CONTEXT{});
    std::map<std::uint64_t, const FOUND_FILE*> byRecord;
    for (const FOUND_FILE& f : fs.results()) byRecord[f.recordNumber] = &f;
    // 12,752 files, of which the 2,550 multiples of 5 from 50 to 12,795 are in use.
    EXPECT_EQ(byRecord.size(), 10202u);
    ASSERT_EQ(byRecord.count(51), 1u);
    EXPECT_EQ(byRecord[51]->directory, "dir32\\dir33\\dir34\\dir35\\");
    EXPECT_EQ(byRecord[51]->name, "file51.txt");
    EXPECT_EQ(byRecord[51]->size, 1u);
    ASSERT_EQ(byRecord.count(56), 1u);
    EXPECT_EQ(byRecord[56]->directory, "dir40\\");   // a deleted directory keeps its name
    ASSERT_EQ(byRecord.count(97), 1u);
    EXPECT_EQ(byRecord[97]->directory, "dir_@17\\");  // another sequence number
    EXPECT_EQ(byRecord.count(50), 0u);                 // in use
    fs.close();
}

} // namespace
