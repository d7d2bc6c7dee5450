// The deep search (a scan of the whole source for MFT records) on the
// damaged fixtures, checked against what their facts say a scan must give:
// names, rebuilt directories, sizes and byte-exact restores; the geometry
// from the backup boot sector or inferred; a volume further into its
// source; cancelling; and path rebuilding over hostile parent chains.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "recovery/DeepResults.h"
#include "recovery/DeepSearch.h"
#include "recovery/OutputSink.h"
#include "recovery/ProgressSink.h"
#include "recovery/RestoreJob.h"
#include "recovery/SearchJob.h"
#include "source/MemorySource.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;
using json = nlohmann::json;

namespace {

// "." -> ".\", "a/b" -> "a\b\".
std::string engineDirectory(const std::string& facts) {
    if (facts == ".") return ".\\";
    std::string d = facts;
    std::replace(d.begin(), d.end(), '/', '\\');
    return d + "\\";
}

class MemorySink : public OutputSink {
public:
    void write(const std::uint8_t* data, std::size_t length, const char*) override {
        bytes.insert(bytes.end(), data, data + length);
    }
    void setSize(std::uint64_t size) override { bytes.resize(static_cast<std::size_t>(size)); }
    void setTimes(std::uint64_t, std::uint64_t) override {}
    std::vector<std::uint8_t> bytes;
};

std::map<std::uint64_t, FOUND_FILE> byRecord(const SearchJob& job) {
    std::map<std::uint64_t, FOUND_FILE> out;
    for (const FOUND_FILE& f : job.filesystem.results()) {
        EXPECT_TRUE(out.emplace(f.recordNumber, f).second) << "record " << f.recordNumber << " listed twice";
    }
    return out;
}

void deepSearch(SearchJob& job, const std::string& root, const std::string& pattern = "*",
                ProgressSink* progress = nullptr, const std::atomic<std::uint8_t>* cancel = nullptr) {
    job.options.deep = true;
    job.driveRoot = root;
    job.pattern = pattern;
    job.days = 1000000;
    job.run(progress, cancel);
}

// The bytes a restore through the job writes for the record at offset.
std::vector<std::uint8_t> restoreAt(SearchJob& job, std::uint64_t offset, RestoreJob::Status& status) {
    RestoreJob restore(job);
    MemorySink sink;
    status = restore.open();
    if (status != RestoreJob::Status::Ready) return {};
    status = restore.selectAtOffset(offset);
    if (status != RestoreJob::Status::Ready) return {};
    status = restore.restoreTo(sink);
    return sink.bytes;
}

struct Case {
    const char* fixture;
    DeepGeometry::From from;
    bool currentMft;
};

class DeepFixture : public ::testing::TestWithParam<Case> {};

TEST_P(DeepFixture, ListsAndRestoresEveryFileWhoseRecordSurvives) {
    const Case c = GetParam();
    const json facts = fixtureFacts(c.fixture);
    SearchJob job;
    deepSearch(job, fixtureImage(c.fixture));
    ASSERT_EQ(job.outcome(), SearchJob::Outcome::Completed) << (job.failure() ? job.failure()->diagnostic() : "");
    ASSERT_NE(job.deepSearch(), nullptr);
    const DeepGeometry& g = job.deepSearch()->geometry();
    EXPECT_EQ(g.from, c.from);
    EXPECT_EQ(g.geometry.clusterBytes(), facts["cluster_size"].get<std::uint64_t>());
    EXPECT_EQ(g.geometry.mftRecordSize, facts["mft_record_size"].get<std::uint32_t>());
    EXPECT_EQ(g.volumeStart, 0u);
    EXPECT_EQ(job.deepSearch()->report().currentMft, c.currentMft);

    const auto found = byRecord(job);
    std::size_t restored = 0;
    for (const auto& f : facts["files"]) {
        if (f["is_dir"].get<bool>()) continue;
        const auto record = f["record"].get<std::uint64_t>();
        SCOPED_TRACE(f["name"].get<std::string>() + " (record " + std::to_string(record) + ")");
        auto it = found.find(record);
        if (!f["deep_record_survives"].get<bool>()) {
            EXPECT_TRUE(it == found.end() || it->second.name != f["name"].get<std::string>());
            continue;
        }
        ASSERT_NE(it, found.end());
        const FOUND_FILE& r = it->second;
        EXPECT_EQ(r.offset, f["record_offset"].get<std::uint64_t>());
        EXPECT_EQ(r.size, f["size"].get<std::uint64_t>());
        if (f.value("nameless_after_delete", false)) {
            EXPECT_EQ(r.name, "record_" + std::to_string(record));
            EXPECT_EQ(r.directory, "lost_files\\");
        } else {
            EXPECT_EQ(r.name, f["name"].get<std::string>());
            EXPECT_EQ(r.directory, engineDirectory(f["deep_directory"].get<std::string>()));
        }
        if (!f["deep_data_intact"].get<bool>()) continue;
        RestoreJob::Status status = RestoreJob::Status::Ready;
        const std::vector<std::uint8_t> bytes = restoreAt(job, r.offset, status);
        EXPECT_EQ(status, RestoreJob::Status::Restored);
        EXPECT_EQ(sha256Hex(bytes), f["sha256"].get<std::string>());
        ++restored;
    }
    EXPECT_GT(restored, 10u);
    // The new volume's files are in use in its MFT: not results.
    for (const auto& e : facts.value("new_volume_entries", json::array())) {
        EXPECT_EQ(found.count(e["record"].get<std::uint64_t>()), 0u) << e["path"];
    }
}

INSTANTIATE_TEST_SUITE_P(Images, DeepFixture,
                         ::testing::Values(Case{"reformat", DeepGeometry::From::BootSector, true},
                                           Case{"nomft", DeepGeometry::From::BackupBootSector, false},
                                           Case{"noboot", DeepGeometry::From::Inferred, false}),
                         [](const auto& info) { return std::string(info.param.fixture); });

TEST(DeepSearch, OnAnIntactVolumeGivesTheSearchsFilesAndTheNamelessOne) {
    // The same files, at the same places, as much of each recoverable.
    const struct {
        const char* image;
        std::vector<std::string> added;  // records their deletion left nameless
    } cases[] = {{"basic", {"record_84"}}, {"reuse", {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        SearchJob plain;
        plain.driveRoot = fixtureImage(c.image);
        plain.days = 1000000;
        plain.run(nullptr, nullptr);
        SearchJob deep;
        deepSearch(deep, fixtureImage(c.image));
        ASSERT_EQ(deep.outcome(), SearchJob::Outcome::Completed);
        auto found = byRecord(deep);
        for (const FOUND_FILE& f : plain.filesystem.results()) {
            SCOPED_TRACE(f.name);
            auto it = found.find(f.recordNumber);
            ASSERT_NE(it, found.end());
            EXPECT_EQ(it->second.name, f.name);
            EXPECT_EQ(it->second.directory, f.directory);
            EXPECT_EQ(it->second.offset, f.offset);
            EXPECT_EQ(it->second.firstSector, f.firstSector);
            EXPECT_EQ(it->second.recoverable, f.recoverable);
            found.erase(it);
        }
        std::vector<std::string> added;
        for (const auto& kv : found) added.push_back(kv.second.name);
        EXPECT_EQ(added, c.added);
    }

    SearchJob deep;
    deepSearch(deep, fixtureImage("basic"), "*.TXT");
    for (const FOUND_FILE& f : deep.filesystem.results()) EXPECT_EQ(f.name.substr(f.name.size() - 4), ".txt");
    EXPECT_FALSE(deep.filesystem.results().empty());
}

TEST(DeepSearch, AVolumeFurtherIntoItsSourceIsFoundWhereItStarts) {
    constexpr std::uint64_t kStart = 1 << 20;
    // The image behind 1 MiB of zeros, read in one piece.
    std::ifstream in(fixtureImage("noboot"), std::ios::binary);
    const auto bytes = static_cast<std::size_t>(std::filesystem::file_size(fixtureImage("noboot")));
    std::vector<std::uint8_t> disk(kStart + bytes, 0);
    in.read(reinterpret_cast<char*>(disk.data() + kStart), static_cast<std::streamsize>(bytes));
    MemorySource source(std::move(disk));
    SearchJob job;
    job.useSource(&source);
    deepSearch(job, "memory");
    ASSERT_EQ(job.outcome(), SearchJob::Outcome::Completed);
    EXPECT_EQ(job.deepSearch()->geometry().volumeStart, kStart);
    const json facts = fixtureFacts("noboot");
    const auto found = byRecord(job);
    for (const auto& f : facts["files"]) {
        if (f["name"] != "multi_cluster.bin" && f["name"] != "deep_big.bin") continue;
        const auto it = found.find(f["record"].get<std::uint64_t>());
        ASSERT_NE(it, found.end());
        EXPECT_EQ(it->second.offset, kStart + f["record_offset"].get<std::uint64_t>());
        RestoreJob::Status status = RestoreJob::Status::Ready;
        EXPECT_EQ(sha256Hex(restoreAt(job, it->second.offset, status)), f["sha256"].get<std::string>());
    }
}

class CancelAt : public ProgressSink {
public:
    explicit CancelAt(std::atomic<std::uint8_t>& cancel) : cancel_(cancel) {}
    void setPosition(int position) override {
        if (position >= 30) cancel_ = 1;
    }
    void setDetail(const std::string& detail) override { details.push_back(detail); }
    std::vector<std::string> details;

private:
    std::atomic<std::uint8_t>& cancel_;
};

TEST(DeepSearch, CancelKeepsWhatWasFoundBeforeIt) {
    SearchJob all;
    deepSearch(all, fixtureImage("nomft"));
    std::atomic<std::uint8_t> cancel{0};
    CancelAt sink(cancel);
    SearchJob part;
    deepSearch(part, fixtureImage("nomft"), "*", &sink, &cancel);
    EXPECT_EQ(part.outcome(), SearchJob::Outcome::Cancelled);
    EXPECT_LT(part.deepSearch()->report().bytesScanned, std::filesystem::file_size(fixtureImage("nomft")));
    EXPECT_FALSE(sink.details.empty());
    const auto whole = byRecord(all);
    for (const FOUND_FILE& f : part.filesystem.results()) EXPECT_EQ(whole.count(f.recordNumber), 1u) << f.name;
}

// Hand-made scan results: which parent a file is placed under.
DeepScan::Record dirRecord(std::uint64_t n, std::uint16_t seq, std::uint64_t parent, const std::string& name,
                           std::uint64_t offset) {
    DeepScan::Record r;
    r.offset = offset;
    r.recordNumber = n;
    r.sequence = seq;
    r.flags = 3;
    r.parent = parent;
    r.name = name;
    r.hasStandardInformation = true;
    return r;
}

TEST(DeepResults, ParentChainsEndAtTheRootOrUnderAPlaceholder) {
    const auto ref = [](std::uint64_t n, std::uint16_t s) { return FILE_REFERENCE::toRecord(n, s); };
    DeepScan::Found found;
    found.records = {
        dirRecord(20, 1, ref(5, 5).raw(), "top", 0x1000),
        dirRecord(21, 2, ref(20, 1).raw(), "mid", 0x2000),
        dirRecord(30, 1, ref(31, 1).raw(), "loop_a", 0x3000),  // 30 and 31 name each other
        dirRecord(31, 1, ref(30, 1).raw(), "loop_b", 0x4000),
        dirRecord(40, 1, ref(40, 1).raw(), "self", 0x5000),
        dirRecord(50, 7, ref(5, 5).raw(), "in_use_now", 0x6000),  // the current volume's
    };
    // Directory 60 is lost; its parent's index names it.
    INDEX_NAME named;
    named.child = ref(60, 3);
    named.parent = ref(21, 2);
    named.name = "indexed";
    named.nameSpace = 1;
    named.isDirectory = true;
    found.indexNames.push_back(named);
    DeepResults results(found, [](std::uint64_t n, std::uint64_t) { return n == 50; }, 4096, 0);

    const struct {
        FILE_REFERENCE directory;
        bool foreign;
        const char* path;
    } cases[] = {
        {ref(5, 5), true, ".\\"},
        {ref(21, 2), true, "top\\mid\\"},
        {ref(21, 9), true, "lost_files\\dir_@21\\"},  // another incarnation of 21
        {ref(60, 3), true, "top\\mid\\indexed\\"},
        {ref(61, 1), true, "lost_files\\dir_@61\\"},
        {ref(30, 1), true, "lost_files\\dir_@30\\loop_b\\loop_a\\"},
        {ref(40, 1), true, "lost_files\\dir_@40\\self\\"},
        {ref(50, 7), true, "lost_files\\dir_@50\\"},  // a former volume's file is not in it
        {ref(50, 7), false, "in_use_now\\"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(results.directoryPath(c.directory, c.foreign), c.path) << c.directory.recordNumber();
    }
}

TEST(DeepScan, RandomBytesThatReadFileOrIndxAreSkipped) {
    const std::uint64_t huge = 1ULL << 40;
    auto header = [](const char* sig, std::uint16_t usaCount, std::uint32_t allocated) {
        std::vector<std::uint8_t> b(8192, 0xA5);
        std::copy(sig, sig + 4, b.begin());
        b[4] = 0x30;
        b[6] = static_cast<std::uint8_t>(usaCount);
        b[7] = static_cast<std::uint8_t>(usaCount >> 8);
        for (int i = 0; i < 4; ++i) b[0x1C + i] = static_cast<std::uint8_t>(allocated >> (8 * i));
        return b;
    };
    const struct {
        std::vector<std::uint8_t> bytes;
        std::size_t available;
    } cases[] = {
        {header("FILE", 3, 1024), 8192},       // update sequence words don't match
        {header("FILE", 3, 4096), 8192},       // allocated size disagrees with the sequence count
        {header("FILE", 9, 4096), 2048},       // record longer than what is there
        {header("FILE", 0xFFFF, 1024), 8192},  // impossible length
        {header("FILE", 0, 0), 8192},
        {header("INDX", 9, 0), 8192},          // update sequence words don't match
        {header("INDX", 0xFFFF, 0), 8192},
        {header("INDX", 9, 0), 100},
    };
    for (const auto& c : cases) {
        DeepScan::Found found;
        EXPECT_FALSE(DeepScan::examine(c.bytes.data(), c.available, 0, huge, found));
        EXPECT_TRUE(found.records.empty() && found.indexBlocks.empty());
    }
}

} // namespace
