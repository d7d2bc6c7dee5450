// The byte sources under a volume: memory, slices of another source, the
// exact-read rule at the end, bad ranges; and a whole volume searched and
// its files streamed through a slice of a bigger source at random offsets.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <random>
#include <vector>

#include "core/ErrorException.h"
#include "file/FileZ.h"
#include "recovery/DataStream.h"
#include "recovery/SearchJob.h"
#include "source/MemorySource.h"
#include "source/SliceSource.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;

namespace {

std::vector<std::uint8_t> counting(std::size_t n) {
    std::vector<std::uint8_t> b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return b;
}

TEST(Sources, ReadsEndWhereTheSourceOrTheSliceEnds) {
    const auto bytes = counting(10000);
    MemorySource mem(bytes);
    SliceSource slice(mem, 1000, 5000);
    // An oversized slice reads only what the source beneath has.
    SliceSource past(mem, 9000, 5000);
    struct Case {
        Source* source;
        std::uint64_t offset;
        std::size_t length;
        std::size_t got;
        std::size_t from;  // where the bytes come from in `bytes`
    };
    const Case cases[] = {
        {&mem, 0, 100, 100, 0},     {&mem, 9990, 100, 10, 9990}, {&mem, 10000, 10, 0, 0},
        {&slice, 0, 100, 100, 1000}, {&slice, 4990, 100, 10, 5990}, {&slice, 5000, 1, 0, 0},
        {&past, 900, 500, 100, 9900}, {&past, 1000, 10, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> out(c.length, 0xAA);
        ASSERT_EQ(c.source->readAt(out.data(), c.length, c.offset, "t"), c.got) << c.offset;
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(c.got), bytes.begin() + c.from));
        if (c.got < c.length) {
            EXPECT_EQ(raised([&] { c.source->readExact(out.data(), c.length, c.offset, "t"); }).code(), kErrReadDisk);
        }
    }
    EXPECT_EQ(slice.identity().offset, 1000u);
    EXPECT_EQ(SliceSource(slice, 24, 10).identity().offset, 1024u);
}

TEST(Sources, BadRangesFailOnlyTheReadsThatTouchThem) {
    MemorySource mem(counting(4096), 512);
    SliceSource slice(mem, 512, 2048);
    mem.addBadRange(1500, 1);
    std::vector<std::uint8_t> out(512);
    EXPECT_EQ(mem.readAt(out.data(), 512, 512, "t"), 512u);
    ErrorException e = raised([&] { mem.readAt(out.data(), 512, 1024, "Volume::read"); });
    EXPECT_EQ(e.code(), kErrReadDisk);
    EXPECT_NE(e.systemError(), 0u);
    EXPECT_EQ(e.diagnostic(), "Volume::read");
    EXPECT_EQ(raised([&] { slice.readAt(out.data(), 512, 512, "t"); }).code(), kErrReadDisk);
    EXPECT_EQ(slice.sectorSize(), 512u);
}

// A fixture volume placed 1 MiB into a bigger source, read through a
// slice, gives the search's results of the bare image; and every deleted
// file found, read at random offsets in random lengths, hashes to the
// recorded value.
TEST(Sources, AVolumeInsideABiggerSourceSearchesAndStreams) {
    const char* const name = "demo";
    ASSERT_TRUE(fixtureAvailable(name));
    const std::vector<std::uint8_t> volume = readFile(fixtureImage(name));
    std::vector<std::uint8_t> disk(volume.size() + (2u << 20), 0x5A);
    std::copy(volume.begin(), volume.end(), disk.begin() + (1u << 20));
    MemorySource whole(std::move(disk));
    SliceSource slice(whole, 1u << 20, volume.size());

    SearchJob bare;
    bare.driveRoot = fixtureImage(name);
    SearchJob job;
    job.useSource(&slice);
    for (SearchJob* j : {&bare, &job}) {
        j->days = 1000000;
        j->run(nullptr, nullptr);
        ASSERT_EQ(j->outcome(), SearchJob::Outcome::Completed);
    }
    ASSERT_EQ(job.filesystem.resultCount(), bare.filesystem.resultCount());
    ASSERT_GT(job.filesystem.resultCount(), 0u);

    const nlohmann::json facts = fixtureFacts(name);
    job.prepareGeometry();
    job.openFilesystem();
    std::mt19937 random(7);
    for (std::size_t i = 0; i < job.filesystem.resultCount(); ++i) {
        const FOUND_FILE& found = job.filesystem.result(i);
        EXPECT_EQ(found.recordNumber, bare.filesystem.result(i).recordNumber);
        EXPECT_EQ(found.directory, bare.filesystem.result(i).directory);
        FileZ entry;
        job.filesystem.openEntry(found.recordNumber, entry);
        DataStream stream(job.filesystem.volume(), job.filesystem.geometry(), entry);
        ASSERT_EQ(stream.size(), found.size) << found.name;
        std::vector<std::uint8_t> data(static_cast<std::size_t>(stream.size()));
        // Pieces of random length, read in random order.
        std::vector<std::pair<std::uint64_t, std::size_t>> pieces;
        for (std::uint64_t at = 0; at < stream.size();) {
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(1 + random() % 70000, stream.size() - at));
            pieces.emplace_back(at, n);
            at += n;
        }
        std::shuffle(pieces.begin(), pieces.end(), random);
        for (auto [at, n] : pieces) ASSERT_EQ(stream.read(at, data.data() + at, n), n);
        for (const auto& f : facts["files"]) {
            if (f["record"].get<std::uint64_t>() == found.recordNumber) {
                EXPECT_EQ(sha256Hex(data), f["sha256"].get<std::string>()) << found.name;
            }
        }
    }
    job.closeFilesystem();
}

} // namespace
