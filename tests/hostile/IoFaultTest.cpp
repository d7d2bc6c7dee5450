// I/O faults injected through the platform seam over fixture images held in
// memory: unreadable sectors in the MFT and in file data, short reads, a
// source that goes away in the middle of a search, and destinations that
// fill up or can't be created.

// POSIX only: the faults are told apart by errno values, and the read-only
// checks look at file descriptors, modes and inode times.
#if !defined(_WIN32)

#include <atomic>
#include <cerrno>
#include <filesystem>

#include "HostileSupport.h"
#include "ntfs/MFT_RECORD.h"

namespace resurgo::test::hostile {
namespace {

class IoFault : public Bounded {
protected:
    void SetUp() override {
        Bounded::SetUp();
        if (!fixtureAvailable("demo") || !fixtureAvailable("basic")) GTEST_SKIP() << "fixtures not built";
        img = loadImage("demo");
        dir = tempDir("iofault");
    }
    Image img;
    std::string dir;
};

// The data runs of record n, decoded by the engine from an undamaged copy.
std::vector<RUN_ENTRY> dataRuns(Image& image, std::uint64_t n) {
    std::vector<std::uint8_t> rec(image.record(n), image.record(n) + image.recordSize);
    NTFS_GEOMETRY g;
    g.init("mem:x", 512, image.clusterSize / 512, -10, 4, 8, 1);
    MFT_RECORD r;
    r.parse(rec.data(), rec.size(), g);
    EXPECT_FALSE(r.dataAttributes.empty());
    return r.dataAttributes.empty() ? std::vector<RUN_ENTRY>{} : r.dataAttributes.front().runs.entries();
}

TEST_F(IoFault, UnreadableMftRecordSkipsOnlyThatRecord) {
    MemoryPlatform mp(img.bytes);
    mp.badRanges.push_back({img.recordOffset(75) + 512, 512});
    ScopedPlatform scoped(mp);
    SearchOutcome r = search("mem:x");
    EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
    EXPECT_EQ(0u, r.byRecord.count(75));
    for (const auto& f : img.deletedFiles()) {
        std::uint64_t n = f["record"].get<std::uint64_t>();
        if (n == 75) continue;
        ASSERT_EQ(1u, r.byRecord.count(n)) << "record " << n;
        EXPECT_EQ(f["name"].get<std::string>(), r.byRecord.at(n).name);
    }
    EXPECT_EQ(kErrReadDisk, restoreIsRightOrFails(img, "mem:x", 75, dir));
    EXPECT_EQ(0, restoreIsRightOrFails(img, "mem:x", 74, dir));
    EXPECT_EQ(mp.opens, mp.closes);
}

TEST_F(IoFault, UnreadableSectorOfAFragmentedFileIsZerosAndTheRestIsRestored) {
    // fragmented.bin (75 of "basic"): 64 KiB in 16 runs of one cluster.
    Image basic = loadImage("basic");
    std::vector<RUN_ENTRY> runs = dataRuns(basic, 75);
    ASSERT_EQ(16u, runs.size());
    MemoryPlatform mp(basic.bytes);
    mp.badRanges.push_back({static_cast<std::uint64_t>(runs[9].lcn) * basic.clusterSize + 1000, 1});
    ScopedPlatform scoped(mp);
    const std::string out = dir + "/fragmented.bin";
    RESTORE_RESULT r = restore("mem:x", 75, out);
    // Only the sector holding the bad byte is lost: the second sector of
    // the tenth cluster.
    const std::uint64_t lost = 9u * basic.clusterSize + 512;
    ASSERT_EQ(r.unreadable.size(), 1u);
    EXPECT_EQ(r.unreadable[0], std::make_pair(lost, std::uint64_t{512}));
    std::vector<std::uint8_t> expected;
    for (const RUN_ENTRY& run : runs) {
        const std::uint8_t* c = basic.bytes.data() + static_cast<std::uint64_t>(run.lcn) * basic.clusterSize;
        expected.insert(expected.end(), c, c + basic.clusterSize);
    }
    std::fill(expected.begin() + static_cast<std::ptrdiff_t>(lost), expected.begin() + static_cast<std::ptrdiff_t>(lost + 512), 0);
    EXPECT_TRUE(readFile(out) == expected);
    EXPECT_EQ(mp.opens, mp.closes);
}

TEST_F(IoFault, ShortReadsChangeNothing) {
    SearchOutcome clean;
    {
        MemoryPlatform mp(img.bytes);
        ScopedPlatform scoped(mp);
        clean = search("mem:x");
    }
    MemoryPlatform mp(img.bytes);
    mp.shortReadLimit = 1000;  // not even a whole sector per read
    ScopedPlatform scoped(mp);
    SearchOutcome r = search("mem:x");
    EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
    ASSERT_EQ(clean.byRecord.size(), r.byRecord.size());
    for (const auto& [n, f] : clean.byRecord) {
        ASSERT_EQ(1u, r.byRecord.count(n));
        EXPECT_EQ(f.name, r.byRecord.at(n).name);
        EXPECT_EQ(f.directory, r.byRecord.at(n).directory);
        EXPECT_EQ(f.size, r.byRecord.at(n).size);
    }
    for (const auto& f : img.deletedFiles()) {
        EXPECT_EQ(0, restoreIsRightOrFails(img, "mem:x", f["record"].get<std::uint64_t>(), dir));
    }
    EXPECT_EQ(mp.opens, mp.closes);
}

// A source whose reads all fail after a number of successful ones, as a
// device pulled out in the middle of the work.
class VanishingSource : public MemoryPlatform {
public:
    using MemoryPlatform::MemoryPlatform;
    bool readAt(OsHandle h, void* b, std::size_t n, std::uint64_t off, std::size_t& got) override {
        if (reads++ >= failAfter) {
            got = 0;
            errno = ENXIO;
            return false;
        }
        return MemoryPlatform::readAt(h, b, n, off, got);
    }
    std::atomic<long> reads{0};  // the scan reads from several threads
    long failAfter = 1L << 40;
};

TEST_F(IoFault, SourceVanishingAtAnyReadEndsTheSearchKeepingWhatWasFound) {
    VanishingSource clean(img.bytes);
    SearchOutcome all;
    {
        ScopedPlatform scoped(clean);
        all = search("mem:x");
    }
    ASSERT_EQ(SearchJob::Outcome::Completed, all.outcome);
    const long totalReads = clean.reads.load();
    ASSERT_GT(totalReads, 3);
    std::size_t lastCount = 0;
    for (long k = 0; k <= totalReads; ++k) {
        VanishingSource dev(img.bytes);
        dev.failAfter = k;
        ScopedPlatform scoped(dev);
        SearchOutcome r = search("mem:x");
        EXPECT_EQ(dev.opens, dev.closes) << "after " << k << " reads";
        // Whatever was found is kept, and is what an undamaged search finds.
        for (const auto& [n, f] : r.byRecord) {
            ASSERT_EQ(1u, all.byRecord.count(n)) << "record " << n << " after " << k << " reads";
            EXPECT_EQ(all.byRecord.at(n).name, f.name);
        }
        if (k == totalReads) {
            EXPECT_EQ(all.byRecord.size(), r.byRecord.size());
        }
        lastCount = r.byRecord.size();
        // A restore from the vanished device fails with a read error.
        if (k < totalReads && !r.byRecord.empty()) {
            try {
                restore("mem:x", r.byRecord.begin()->first, dir + "/gone");
                ADD_FAILURE() << "restored from a vanished source";
            } catch (const ErrorException& e) {
                EXPECT_EQ(kErrReadDisk, e.code());
            }
            EXPECT_EQ(dev.opens, dev.closes);
        }
    }
    EXPECT_EQ(all.byRecord.size(), lastCount);
}

// A destination that takes a number of bytes and then reports a full disk.
class FullDisk : public MemoryPlatform {
public:
    using MemoryPlatform::MemoryPlatform;
    bool writeOutput(OsHandle h, const void* d, std::size_t n, std::size_t& w) override {
        if (room == 0) {
            w = 0;
            errno = ENOSPC;
            return false;
        }
        std::size_t take = std::min(n, room);
        room -= take;
        return MemoryPlatform::writeOutput(h, d, take, w);
    }
    std::size_t room = 10000;
};

TEST_F(IoFault, DestinationFillingUpFailsWithWriteError) {
    for (std::uint64_t n : {76ULL, 77ULL}) {  // compressed and plain
        FullDisk disk(img.bytes);
        ScopedPlatform scoped(disk);
        const std::string out = dir + "/full" + std::to_string(n);
        try {
            restore("mem:x", n, out);
            FAIL() << "the restore did not notice the full disk";
        } catch (const ErrorException& e) {
            EXPECT_EQ(kErrWriteOutput, e.code());
            EXPECT_EQ(static_cast<std::uint32_t>(ENOSPC), e.systemError());
        }
        EXPECT_EQ(10000u, std::filesystem::file_size(out));
        EXPECT_EQ(disk.opens, disk.closes);
    }
}

class NoCreate : public MemoryPlatform {
public:
    using MemoryPlatform::MemoryPlatform;
    OsHandle createOutput(const std::string&, OutputMode) override {
        errno = EACCES;
        return kNoHandle;
    }
};

TEST_F(IoFault, DestinationThatCannotBeCreatedFailsWithOpenOutputError) {
    {
        MemoryPlatform mp(img.bytes);
        ScopedPlatform scoped(mp);
        try {
            restore("mem:x", 74, dir + "/no/such/folder/letter.txt");
            FAIL() << "created a file in a folder that does not exist";
        } catch (const ErrorException& e) {
            EXPECT_EQ(kErrOpenOutput, e.code());
            EXPECT_EQ(static_cast<std::uint32_t>(ENOENT), e.systemError());
        }
        EXPECT_EQ(mp.opens, mp.closes);
    }
    NoCreate denied(img.bytes);
    ScopedPlatform scoped(denied);
    try {
        restore("mem:x", 74, dir + "/letter.txt");
        FAIL() << "the refused destination went unnoticed";
    } catch (const ErrorException& e) {
        EXPECT_EQ(kErrOpenOutput, e.code());
        EXPECT_EQ(static_cast<std::uint32_t>(EACCES), e.systemError());
    }
    EXPECT_EQ(denied.opens, denied.closes);
    EXPECT_FALSE(std::filesystem::exists(dir + "/letter.txt"));
}

} // namespace
} // namespace resurgo::test::hostile

#endif  // !_WIN32
