// Smoke tests of the system platform (POSIX natively, Win32 under Wine):
// destination files, raw reads of an image file, aligned memory, clock and
// error texts. The same expectations hold on both systems.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "file/FileZ.h"
#include "platform/Platform.h"
#include "recovery/SearchJob.h"
#include "volume/Volume.h"
#include "support/TestSupport.h"

using namespace resurgo;
namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return v;
}

// Writes all of data through the platform, looping over partial writes.
void writeAll(Platform& p, OsHandle h, const std::vector<std::uint8_t>& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        std::size_t w = 0;
        ASSERT_TRUE(p.writeOutput(h, data.data() + done, data.size() - done, w)) << p.errorText(p.lastError());
        ASSERT_GT(w, 0u);
        done += w;
    }
}

// NT time (100 ns since 1601) of a UTC calendar date at midnight.
std::uint64_t ntDate(int y, unsigned m, unsigned d) {
    // Days from civil, shifted to 1601-01-01.
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long long daysSince1970 = era * 146097LL + static_cast<long long>(doe) - 719468LL;
    const long long daysSince1601 = daysSince1970 + 134774LL;
    return static_cast<std::uint64_t>(daysSince1601) * 86400ULL * 10000000ULL;
}

} // namespace

TEST(SystemPlatform, OutputFileIsNewOrReplacesWhatHadItsName) {
    Platform& p = systemPlatform();
    const std::string dir = test::tempDir("platform-output");
    const std::string path = (fs::path(dir) / "restored.bin").string();
    EXPECT_FALSE(p.fileExists(path));

    const auto first = pattern(10000, 3);
    OsHandle h = p.createOutput(path, OutputMode::NewOnly);
    ASSERT_NE(h, kNoHandle) << p.errorText(p.lastError());
    writeAll(p, h, first);
    ASSERT_TRUE(p.closeOutput(h));
    EXPECT_TRUE(p.fileExists(path));
    EXPECT_EQ(test::readFile(path), first);

    // A new file only: the existing one is kept.
    EXPECT_EQ(p.createOutput(path, OutputMode::NewOnly), kNoHandle);
    EXPECT_EQ(p.outputFailure(p.lastError()), OutputFailure::Exists);
    EXPECT_EQ(test::readFile(path), first);

    // Replacing: a new, empty file takes the name; nothing else is left.
    const auto second = pattern(300, 99);
    h = p.createOutput(path, OutputMode::Replace);
    ASSERT_NE(h, kNoHandle) << p.errorText(p.lastError());
    writeAll(p, h, second);
    ASSERT_TRUE(p.closeOutput(h));
    EXPECT_EQ(test::readFile(path), second);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST(SystemPlatform, SetOutputSizeTrimsAndExtendsWithZeros) {
    Platform& p = systemPlatform();
    const std::string dir = test::tempDir("platform-size");
    const std::string trimmed = (fs::path(dir) / "trimmed.bin").string();
    const std::string extended = (fs::path(dir) / "extended.bin").string();

    // Whole clusters written, then cut to the real length of the file.
    const auto clusters = pattern(8192, 11);
    OsHandle h = p.createOutput(trimmed, OutputMode::NewOnly);
    ASSERT_NE(h, kNoHandle);
    writeAll(p, h, clusters);
    ASSERT_TRUE(p.setOutputSize(h, 5001)) << p.errorText(p.lastError());
    ASSERT_TRUE(p.closeOutput(h));
    EXPECT_EQ(fs::file_size(trimmed), 5001u);
    EXPECT_EQ(test::readFile(trimmed), std::vector<std::uint8_t>(clusters.begin(), clusters.begin() + 5001));

    const auto head = pattern(100, 5);
    h = p.createOutput(extended, OutputMode::NewOnly);
    ASSERT_NE(h, kNoHandle);
    writeAll(p, h, head);
    ASSERT_TRUE(p.setOutputSize(h, 4096));
    ASSERT_TRUE(p.closeOutput(h));
    auto bytes = test::readFile(extended);
    ASSERT_EQ(bytes.size(), 4096u);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
    for (std::size_t i = head.size(); i < bytes.size(); ++i) ASSERT_EQ(bytes[i], 0) << "at " << i;
}

TEST(SystemPlatform, SetOutputSizeKeepsTheWritePosition) {
    // Both systems must agree on where the next write goes after a resize.
    Platform& p = systemPlatform();
    const std::string path = (fs::path(test::tempDir("platform-position")) / "pos.bin").string();
    OsHandle h = p.createOutput(path, OutputMode::NewOnly);
    ASSERT_NE(h, kNoHandle);
    writeAll(p, h, pattern(10, 1));
    ASSERT_TRUE(p.setOutputSize(h, 64));
    writeAll(p, h, pattern(6, 200));
    ASSERT_TRUE(p.closeOutput(h));
    auto bytes = test::readFile(path);
    ASSERT_EQ(bytes.size(), 64u);
    auto tail = pattern(6, 200);
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), bytes.begin() + 10));
    EXPECT_EQ(bytes[16], 0);
}

TEST(SystemPlatform, OutputNamesAreUtf8) {
    Platform& p = systemPlatform();
    const std::string dir = test::tempDir("platform-utf8");
    const std::string name = "na\xC3\xAFve-\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB-\xE6\x96\x87.txt"; // naïve-файл-文
    const std::string path = (fs::path(dir) / fs::u8path(name)).u8string();
    OsHandle h = p.createOutput(path, OutputMode::NewOnly);
    ASSERT_NE(h, kNoHandle) << p.errorText(p.lastError());
    writeAll(p, h, pattern(5, 0));
    ASSERT_TRUE(p.closeOutput(h));
    EXPECT_TRUE(p.fileExists(path));
    bool found = false;
    for (const auto& e : fs::directory_iterator(dir)) found = found || e.path().filename().u8string() == name;
    EXPECT_TRUE(found) << "no directory entry with the UTF-8 name";
}

TEST(SystemPlatform, OutputTimesAreSetInNtUnits) {
    Platform& p = systemPlatform();
    const std::string dir = test::tempDir("platform-times");
    const std::string a = (fs::path(dir) / "a.bin").string();
    const std::string b = (fs::path(dir) / "b.bin").string();
    const std::uint64_t ntA = ntDate(2001, 9, 9) + 1234567; // plus 0.1234567 s
    const std::uint64_t ntB = ntDate(2011, 3, 1) + 5000000; // plus 0.5 s
    for (auto [path, nt] : {std::pair{a, ntA}, std::pair{b, ntB}}) {
        OsHandle h = p.createOutput(path, OutputMode::NewOnly);
        ASSERT_NE(h, kNoHandle);
        writeAll(p, h, pattern(1, 1));
        ASSERT_TRUE(p.setOutputTimes(h, nt, nt)) << p.errorText(p.lastError());
        ASSERT_TRUE(p.closeOutput(h));
    }
    // The file clock's epoch differs between systems; the distance does not.
    auto diff = fs::last_write_time(b) - fs::last_write_time(a);
    auto ticks = std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(diff);
#ifdef _WIN32
    // mingw's std::filesystem reads times through _wstat64: whole seconds.
    constexpr std::uint64_t kSecond = 10000000ULL;
    EXPECT_EQ(static_cast<std::uint64_t>(ticks.count()), (ntB / kSecond - ntA / kSecond) * kSecond);
#else
    EXPECT_EQ(static_cast<std::uint64_t>(ticks.count()), ntB - ntA);
#endif
}

TEST(SystemPlatform, ReadsAnImageFileAtOffsetsAndStopsAtTheEnd) {
    Platform& p = systemPlatform();
    const std::string path = (fs::path(test::tempDir("platform-read")) / "volume.img").string();
    const auto image = pattern(3 * 4096 + 100, 42);
    test::writeFile(path, image);

    OsHandle h = p.openSource(path);
    ASSERT_NE(h, kNoHandle) << p.errorText(p.lastError());
    SourceGeometry g;
    ASSERT_TRUE(p.querySource(h, g));
    EXPECT_FALSE(g.fromDevice);
    EXPECT_EQ(g.sizeBytes, image.size());

    std::vector<std::uint8_t> buf(4096, 0xEE);
    std::size_t got = 0;
    ASSERT_TRUE(p.readAt(h, buf.data(), 512, 4097, got));
    ASSERT_EQ(got, 512u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 512, image.begin() + 4097));

    // Across the end: the rest only; at the end: nothing, and no error.
    ASSERT_TRUE(p.readAt(h, buf.data(), 4096, 3 * 4096, got));
    EXPECT_EQ(got, 100u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 100, image.begin() + 3 * 4096));
    ASSERT_TRUE(p.readAt(h, buf.data(), 4096, image.size(), got));
    EXPECT_EQ(got, 0u);
    ASSERT_TRUE(p.readAt(h, buf.data(), 4096, image.size() + 8192, got));
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(p.closeSource(h));
}

TEST(SystemPlatform, ReadsPastFourGibibytes) {
    // A sparse image whose interesting bytes lie beyond 32-bit offsets.
    Platform& p = systemPlatform();
    const std::string path = (fs::path(test::tempDir("platform-large")) / "large.img").string();
    const std::uint64_t at = (5ULL << 30) + 12345;
    const char marker[] = "beyond 4 GiB";
    {
        std::ofstream out(fs::u8path(path), std::ios::binary | std::ios::trunc);
        out.seekp(static_cast<std::streamoff>(at));
        out.write(marker, sizeof marker);
        ASSERT_TRUE(out.good());
    }
    OsHandle h = p.openSource(path);
    ASSERT_NE(h, kNoHandle);
    SourceGeometry g;
    ASSERT_TRUE(p.querySource(h, g));
    EXPECT_EQ(g.sizeBytes, at + sizeof marker);
    char buf[sizeof marker] = {};
    std::size_t got = 0;
    ASSERT_TRUE(p.readAt(h, buf, sizeof buf, at, got));
    EXPECT_EQ(got, sizeof marker);
    EXPECT_STREQ(buf, marker);
    // The same low 32 bits without the high part are zeros.
    char low[sizeof marker] = {1};
    ASSERT_TRUE(p.readAt(h, low, sizeof low, at & 0xFFFFFFFFULL, got));
    EXPECT_EQ(low[0], 0);
    EXPECT_TRUE(p.closeSource(h));
    std::error_code ec;
    fs::remove(fs::u8path(path), ec);
}

TEST(SystemPlatform, OpenFailuresReportTheSystemError) {
    Platform& p = systemPlatform();
    const std::string dir = test::tempDir("platform-missing");
    EXPECT_EQ(p.openSource((fs::path(dir) / "absent.img").string()), kNoHandle);
    const std::uint32_t code = p.lastError();
    EXPECT_EQ(code, 2u); // ENOENT and ERROR_FILE_NOT_FOUND alike
    const std::string text = p.errorText(code);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    EXPECT_NE(text.back(), '\r');
    // A directory is no source.
    EXPECT_EQ(p.openSource(dir), kNoHandle);
    EXPECT_NE(p.lastError(), 0u);
}

// The system's shadow copies: none on POSIX and on the test machines'
// Windows (Wine keeps none): the listing ends and is empty.
TEST(SystemPlatform, ASystemWithoutShadowCopiesListsNone) {
    std::vector<std::string> devices{"stale"};
    ASSERT_TRUE(systemPlatform().shadowCopyDevices(devices));
    EXPECT_TRUE(devices.empty()) << devices.front();
}

TEST(SystemPlatform, AllocateZeroedIsAlignedAndZero) {
    Platform& p = systemPlatform();
    for (std::size_t bytes : {std::size_t{1}, std::size_t{4096}, std::size_t{65536 + 512}, std::size_t{1} << 20}) {
        auto* mem = static_cast<std::uint8_t*>(p.allocateZeroed(bytes));
        ASSERT_NE(mem, nullptr) << bytes;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(mem) % 4096, 0u) << bytes;
        for (std::size_t i = 0; i < bytes; ++i) ASSERT_EQ(mem[i], 0) << "byte " << i << " of " << bytes;
        std::memset(mem, 0xA5, bytes); // the whole block is writable
        EXPECT_TRUE(p.release(mem, bytes));
    }
    EXPECT_EQ(p.allocateZeroed(0), nullptr);
}

TEST(SystemPlatform, ClockAndLocalTimeArePlausible) {
    Platform& p = systemPlatform();
    const std::uint64_t now = p.currentUtc();
    EXPECT_GT(now, ntDate(2020, 1, 1));
    EXPECT_LT(now, ntDate(2100, 1, 1));

    LocalTime lt;
    const std::uint64_t t = ntDate(2015, 6, 15) + 12ULL * 3600 * 10000000ULL + 2500000; // noon UTC + 0.25 s
    ASSERT_TRUE(p.utcToLocal(t, lt));
    EXPECT_EQ(lt.year, 2015);
    EXPECT_EQ(lt.month, 6);
    // Zones reach from UTC-12 to UTC+14: noon UTC is the 15th (a Monday)
    // nearly everywhere, the 16th only east of UTC+12.
    ASSERT_TRUE(lt.day == 15 || lt.day == 16) << lt.day;
    EXPECT_EQ(lt.dayOfWeek, lt.day - 14); // Monday = 1
    EXPECT_EQ(lt.millisecond, 250);
    EXPECT_EQ(lt.minute % 15, 0); // zones are whole quarter hours
}

TEST(SystemPlatform, AvailableSpaceOfTheBuildTree) {
    Platform& p = systemPlatform();
    std::uint64_t bytes = 0;
    ASSERT_TRUE(p.availableSpace(test::tempDir("platform-space"), bytes)) << p.errorText(p.lastError());
    EXPECT_GT(bytes, 0u);
}

// A source is opened for reading only: its handle refuses a write (this
// fails if sources are ever opened for writing, also as root, where file
// permissions would not stop it), and a write-protected image opens,
// searches and restores, and stays as it was.
TEST(SystemPlatform, SourceHandlesRefuseWrites) {
    ASSERT_TRUE(test::fixtureAvailable("demo"));
    const std::string dir = test::tempDir("source-handle");
    const std::string image = test::copyFile(test::fixtureImage("demo"), dir + "/demo.img");
    const std::string before = test::sha256Hex(test::readFile(image));
    const OsHandle handle = systemPlatform().openSource(image);
    ASSERT_NE(handle, kNoHandle);
    const std::uint8_t byte = 0xEE;
    std::size_t written = 0;
    EXPECT_FALSE(systemPlatform().writeOutput(handle, &byte, 1, written));
    EXPECT_EQ(written, 0u);
    systemPlatform().closeSource(handle);
    EXPECT_EQ(test::sha256Hex(test::readFile(image)), before);
}

TEST(SystemPlatform, WriteProtectedImageOpensAndStaysUnchanged) {
    ASSERT_TRUE(test::fixtureAvailable("demo"));
    const std::string dir = test::tempDir("readonly-source");
    const std::string image = test::copyFile(test::fixtureImage("demo"), dir + "/demo-ro.img");
    const std::string before = test::sha256Hex(test::readFile(image));
    fs::permissions(image, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);

    SearchJob job;
    job.driveRoot = image;
    job.days = 1000000;
    job.run(nullptr, nullptr);
    ASSERT_EQ(job.outcome(), SearchJob::Outcome::Completed);
    ASSERT_GT(job.filesystem.resultCount(), 0u);

    const FOUND_FILE& first = job.filesystem.result(0);
    job.prepareGeometry(image);
    job.filesystem.open(job.geometry);
    FileZ file;
    file.openRecord(job.filesystem.volume(), job.geometry, &job.filesystem.mftEntry(), first.recordNumber);
    OsHandle out = job.filesystem.openOutputFile(dir + "/restored.bin", OutputMode::NewOnly);
    RESTORE_RESULT r = job.filesystem.copyFileZ(file, out);
    systemPlatform().closeOutput(out);
    job.filesystem.close();
    EXPECT_EQ(r.bytesWritten, first.size);

    fs::permissions(image, fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(test::sha256Hex(test::readFile(image)), before);
}
