#pragma once
// Helpers of the hostile-disk tests: fixture images loaded into memory and
// damaged there (record edits keep the update-sequence protection valid
// unless a test tears it on purpose), whole searches and restores through
// the platform seam, and bounds on the time and memory a case may take.

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/ErrorException.h"
#include "file/FileZ.h"
#include "recovery/FilesystemNTFS.h"
#include "recovery/SearchJob.h"
#include "support/TestSupport.h"

namespace resurgo::test::hostile {

struct Image {
    std::string name;
    std::vector<std::uint8_t> bytes;
    nlohmann::json facts;
    std::uint64_t mftOffset = 0;
    std::uint32_t recordSize = 0;
    std::uint32_t clusterSize = 0;

    // Record n of the MFT's first run (all fixtures keep their user records there).
    std::uint8_t* record(std::uint64_t n) { return bytes.data() + mftOffset + n * recordSize; }
    std::uint64_t recordOffset(std::uint64_t n) const { return mftOffset + n * recordSize; }
    const nlohmann::json& file(std::uint64_t record) const {
        for (const auto& f : facts["files"]) {
            if (f["record"].get<std::uint64_t>() == record) return f;
        }
        throw std::runtime_error("no such record in the facts");
    }
    // Deleted regular files of the fixture.
    std::vector<nlohmann::json> deletedFiles() const {
        std::vector<nlohmann::json> out;
        for (const auto& f : facts["files"]) {
            if (f["deleted"].get<bool>() && !f["is_dir"].get<bool>()) out.push_back(f);
        }
        return out;
    }
};

// Reads a whole file in one go (images are tens of MiB).
inline std::vector<std::uint8_t> readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

inline Image loadImage(const std::string& name) {
    // Read once per test program; every caller damages its own copy.
    static std::map<std::string, std::vector<std::uint8_t>> cache;
    auto it = cache.find(name);
    if (it == cache.end()) it = cache.emplace(name, readWhole(fixtureImage(name))).first;
    Image img;
    img.name = name;
    img.bytes = it->second;
    img.facts = fixtureFacts(name);
    img.clusterSize = img.facts["cluster_size"].get<std::uint32_t>();
    img.recordSize = img.facts["mft_record_size"].get<std::uint32_t>();
    img.mftOffset = img.facts["mft_lcn"].get<std::uint64_t>() * img.clusterSize;
    return img;
}

inline std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(get16(p)) | (static_cast<std::uint32_t>(get16(p + 2)) << 16);
}
inline std::uint64_t get64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(get32(p)) | (static_cast<std::uint64_t>(get32(p + 4)) << 32);
}
inline void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, static_cast<std::uint16_t>(v));
    put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}
inline void put64(std::uint8_t* p, std::uint64_t v) {
    put32(p, static_cast<std::uint32_t>(v));
    put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// Edits record n in its fixed-up form, then protects it again with its
// update sequence number, as NTFS writes it.
inline void editRecord(Image& img, std::uint64_t n, const std::function<void(std::uint8_t*, std::size_t)>& edit) {
    std::uint8_t* rec = img.record(n);
    const std::size_t len = img.recordSize;
    ASSERT_EQ(0, std::memcmp(rec, "FILE", 4)) << "record " << n;
    const std::size_t usa = get16(rec + 4);
    const std::size_t count = get16(rec + 6);
    for (std::size_t i = 1; i < count; ++i) std::memcpy(rec + i * 512 - 2, rec + usa + 2 * i, 2);
    edit(rec, len);
    for (std::size_t i = 1; i < count; ++i) {
        std::memcpy(rec + usa + 2 * i, rec + i * 512 - 2, 2);
        std::memcpy(rec + i * 512 - 2, rec + usa, 2);
    }
}

// Gives record n a new name: every $FILE_NAME attribute of the record gets
// name (any UTF-16, up to 255 units), the attributes after it moved to
// fit. The record must have room.
inline void renameRecord(Image& img, std::uint64_t n, const std::u16string& name) {
    ASSERT_LE(name.size(), 255u);
    editRecord(img, n, [&](std::uint8_t* rec, std::size_t len) {
        std::size_t pos = get16(rec + 0x14);
        int renamed = 0;
        while (pos + 8 <= len && get32(rec + pos) != 0xFFFFFFFF) {
            std::size_t alen = get32(rec + pos + 4);
            ASSERT_NE(0u, alen);
            if (get32(rec + pos) == 0x30) {
                const std::size_t valueOffset = get16(rec + pos + 0x14);
                const std::size_t valueLength = 0x42 + 2 * name.size();
                const std::size_t newLength = (valueOffset + valueLength + 7) / 8 * 8;
                const std::size_t used = get32(rec + 0x18);
                ASSERT_LE(used - alen + newLength, get32(rec + 0x1C)) << "no room in record " << n;
                std::memmove(rec + pos + newLength, rec + pos + alen, used - pos - alen);
                std::uint8_t* value = rec + pos + valueOffset;
                value[0x40] = static_cast<std::uint8_t>(name.size());
                for (std::size_t i = 0; i < name.size(); ++i) put16(value + 0x42 + 2 * i, name[i]);
                std::memset(value + valueLength, 0, newLength - valueOffset - valueLength);
                put32(rec + pos + 4, static_cast<std::uint32_t>(newLength));
                put32(rec + pos + 0x10, static_cast<std::uint32_t>(valueLength));
                put32(rec + 0x18, static_cast<std::uint32_t>(used - alen + newLength));
                alen = newLength;
                ++renamed;
            }
            pos += alen;
        }
        ASSERT_GT(renamed, 0) << "record " << n << " has no name";
    });
}

// Offset of the first attribute of a type in a fixed-up record (0 if none).
inline std::size_t findAttribute(const std::uint8_t* rec, std::size_t len, std::uint32_t type) {
    std::size_t pos = get16(rec + 0x14);
    while (pos + 8 <= len) {
        std::uint32_t t = get32(rec + pos);
        std::uint32_t alen = get32(rec + pos + 4);
        if (t == 0xFFFFFFFF || alen == 0) return 0;
        if (t == type) return pos;
        pos += alen;
    }
    return 0;
}

// First run (LCN, clusters) of a non-resident attribute at pos.
inline std::pair<std::uint64_t, std::uint64_t> firstRun(const std::uint8_t* rec, std::size_t pos) {
    const std::uint8_t* rl = rec + pos + get16(rec + pos + 0x20);
    unsigned l = rl[0] & 15, o = rl[0] >> 4;
    std::uint64_t length = 0, lcn = 0;
    for (unsigned i = 0; i < l; ++i) length |= static_cast<std::uint64_t>(rl[1 + i]) << (8 * i);
    for (unsigned i = 0; i < o; ++i) lcn |= static_cast<std::uint64_t>(rl[1 + l + i]) << (8 * i);
    return {lcn, length};
}

struct SearchOutcome {
    SearchJob::Outcome outcome = SearchJob::Outcome::Completed;
    std::optional<ErrorException> failure;
    std::map<std::uint64_t, FOUND_FILE> byRecord;
};

// A whole search of root (every name, any date).
inline SearchOutcome search(const std::string& root) {
    SearchJob job;
    job.driveRoot = root;
    job.days = 1000000;
    job.pattern = "*";
    job.run(nullptr, nullptr);
    SearchOutcome out;
    out.outcome = job.outcome();
    out.failure = job.failure();
    for (const auto& f : job.filesystem.results()) out.byRecord.emplace(f.recordNumber, f);
    return out;
}

// Restores record n of root to outPath; raises ErrorException on failure.
inline RESTORE_RESULT restore(const std::string& root, std::uint64_t record, const std::string& outPath) {
    SearchJob job;
    job.prepareGeometry(root);
    FilesystemNTFS fs;
    fs.open(job.geometry);
    try {
        FileZ file;
        file.openRecord(fs.volume(), fs.geometry(), &fs.mftEntry(), record);
        OsHandle out = fs.openOutputFile(outPath, OutputMode::Replace);
        RESTORE_RESULT r;
        try {
            r = fs.copyFileZ(file, out);
        } catch (...) {
            platform().closeOutput(out);
            throw;
        }
        platform().closeOutput(out);
        fs.close();
        return r;
    } catch (...) {
        fs.close();
        throw;
    }
}

// The restore of record n is right (content as recorded in the facts) or
// it says it is not: an ErrorException or damaged units. Returns the code
// of the failure (0 when the file came back whole and right).
// What restoreIsRightOrFails returns for a file restored with damaged
// compressed units, and for one with unreadable ranges written as zeros.
constexpr std::int32_t kRestoredDamagedUnits = -1;
constexpr std::int32_t kRestoredUnreadable = -2;

inline std::int32_t restoreIsRightOrFails(const Image& img, const std::string& root, std::uint64_t record,
                                          const std::string& dir) {
    const std::string out = dir + "/r" + std::to_string(record);
    try {
        RESTORE_RESULT r = restore(root, record, out);
        if (r.damagedUnits != 0) return kRestoredDamagedUnits;
        if (!r.unreadable.empty()) {
            // The file has its size, and what could not be read is zeros.
            const std::vector<std::uint8_t> bytes = readFile(out);
            EXPECT_EQ(bytes.size(), img.file(record)["size"].get<std::uint64_t>());
            for (const auto& [offset, length] : r.unreadable) {
                EXPECT_LE(offset + length, bytes.size());
                for (std::uint64_t i = offset; i < offset + length && i < bytes.size(); ++i) {
                    if (bytes[i] != 0) {
                        ADD_FAILURE() << "unreadable byte " << i << " of record " << record << " is not zero";
                        break;
                    }
                }
            }
            return kRestoredUnreadable;
        }
        EXPECT_EQ(img.file(record)["sha256"].get<std::string>(), sha256Hex(readFile(out)))
            << "silent wrong content for record " << record;
        return 0;
    } catch (const ErrorException& e) {
        EXPECT_GT(e.code(), 0);
        EXPECT_LE(e.code(), ErrorException::tableSize());
        return e.code();
    }
}

inline long maxRssKb() {
#if defined(_WIN32)
    return 0;
#else
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
#endif
}

// How much slower than usual the tests run (RESURGO_SLOW_FACTOR, set by
// scripts/valgrind.sh); 1 for a plain or sanitized build.
inline long slowFactor() {
    const char* v = std::getenv("RESURGO_SLOW_FACTOR");
    long f = v != nullptr ? std::atol(v) : 1;
    return f > 0 ? f : 1;
}

// Every case runs within a time and memory budget: no hang, no unbounded
// allocation, whatever the image says.
class Bounded : public ::testing::Test {
protected:
    void SetUp() override {
        start_ = std::chrono::steady_clock::now();
        rss_ = maxRssKb();
    }
    void TearDown() override {
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start_);
        EXPECT_LT(seconds.count(), 120 * slowFactor()) << "the case took too long";
        // Under valgrind the process's peak includes the tool's own shadow memory.
        if (slowFactor() == 1) {
            EXPECT_LT(maxRssKb() - rss_, 512L * 1024) << "the case grew the peak memory by more than 512 MiB";
        }
    }

private:
    std::chrono::steady_clock::time_point start_;
    long rss_ = 0;
};

} // namespace resurgo::test::hostile
