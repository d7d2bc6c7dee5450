// The read-only guarantee: searches and restores leave every source exactly
// as they found it, open it for reading only, and never aim a destination at
// it.

// POSIX only: the faults are told apart by errno values, and the read-only
// checks look at file descriptors, modes and inode times.
#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>

#include "HostileSupport.h"

namespace resurgo::test::hostile {
namespace {

const char* const kFixtures[] = {"basic", "c512", "demo", "s4096"};

struct Snapshot {
    std::uint64_t size = 0;
    std::uint64_t checksum = 0;
    timespec mtime{};
    timespec ctime{};
    mode_t mode = 0;
};

Snapshot snapshot(const std::string& path) {
    Snapshot s;
    struct stat st {};
    EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
    s.size = static_cast<std::uint64_t>(st.st_size);
    s.mtime = st.st_mtim;
    s.ctime = st.st_ctim;
    s.mode = st.st_mode;
    // FNV-1a over the whole image.
    std::vector<std::uint8_t> bytes = readWhole(path);
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (std::uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ULL;
    s.checksum = h;
    return s;
}

void expectSame(const Snapshot& a, const Snapshot& b, const std::string& what) {
    EXPECT_EQ(a.size, b.size) << what;
    EXPECT_EQ(a.checksum, b.checksum) << what;
    EXPECT_EQ(a.mtime.tv_sec, b.mtime.tv_sec) << what;
    EXPECT_EQ(a.mtime.tv_nsec, b.mtime.tv_nsec) << what;
    EXPECT_EQ(a.ctime.tv_sec, b.ctime.tv_sec) << what << " (inode changed)";
    EXPECT_EQ(a.ctime.tv_nsec, b.ctime.tv_nsec) << what << " (inode changed)";
    EXPECT_EQ(a.mode, b.mode) << what;
}

// Records every call that touches a source or a destination. A source must
// only ever be opened, queried, read and closed; its handle never written
// to; no destination may be created on a source's path; and every source
// handle carries read-only access flags.
class RecordingPlatform : public DelegatingPlatform {
public:
    OsHandle openSource(const std::string& path) override {
        OsHandle h = DelegatingPlatform::openSource(path);
        sourcePaths.insert(std::filesystem::weakly_canonical(path).string());
        if (h != kNoHandle) {
            ++opens;
            sources.insert(h);
            int flags = ::fcntl(static_cast<int>(h), F_GETFL);
            EXPECT_NE(-1, flags);
            EXPECT_EQ(O_RDONLY, flags & O_ACCMODE) << "source " << path << " opened for writing";
        }
        return h;
    }
    bool closeSource(OsHandle h) override {
        ++closes;
        EXPECT_EQ(1u, sources.erase(h)) << "closed a handle that is not an open source";
        return DelegatingPlatform::closeSource(h);
    }
    OsHandle createOutput(const std::string& path, OutputMode mode) override {
        const std::string canon = std::filesystem::weakly_canonical(path).string();
        EXPECT_EQ(0u, sourcePaths.count(canon)) << "a destination on the source " << path;
        OsHandle h = DelegatingPlatform::createOutput(path, mode);
        if (h != kNoHandle) {
            EXPECT_EQ(0u, sources.count(h));
            outputs.insert(h);
        }
        return h;
    }
    bool writeOutput(OsHandle h, const void* d, std::size_t n, std::size_t& w) override {
        EXPECT_EQ(0u, sources.count(h)) << "a write to a source handle";
        EXPECT_EQ(1u, outputs.count(h));
        return DelegatingPlatform::writeOutput(h, d, n, w);
    }
    bool setOutputSize(OsHandle h, std::uint64_t s) override {
        EXPECT_EQ(0u, sources.count(h)) << "a source resized";
        return DelegatingPlatform::setOutputSize(h, s);
    }
    bool setOutputTimes(OsHandle h, std::uint64_t m, std::uint64_t a) override {
        EXPECT_EQ(0u, sources.count(h)) << "a source's times set";
        return DelegatingPlatform::setOutputTimes(h, m, a);
    }
    bool closeOutput(OsHandle h) override {
        EXPECT_EQ(1u, outputs.erase(h));
        return DelegatingPlatform::closeOutput(h);
    }

    std::set<std::string> sourcePaths;
    std::set<OsHandle> sources;
    std::set<OsHandle> outputs;
    int opens = 0;
    int closes = 0;
};

// Searches root and restores every result into dir; returns the count of
// results.
std::size_t searchAndRestoreAll(const std::string& root, const std::string& dir) {
    SearchOutcome r = search(root);
    EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome) << root;
    for (const auto& [n, f] : r.byRecord) {
        try {
            restore(root, n, dir + "/" + std::to_string(n));
        } catch (const ErrorException&) {
            // Some deleted files are already overwritten; the source is what matters here.
        }
    }
    return r.byRecord.size();
}

TEST(ReadOnly, SearchesAndRestoresLeaveEveryFixtureUnchanged) {
    int seen = 0;
    for (const char* name : kFixtures) {
        if (!fixtureAvailable(name)) continue;
        ++seen;
        const std::string path = fixtureImage(name);
        const Snapshot before = snapshot(path);
        RecordingPlatform rec;
        {
            ScopedPlatform scoped(rec);
            EXPECT_GT(searchAndRestoreAll(path, tempDir(std::string("ro-") + name)), 0u) << name;
        }
        EXPECT_EQ(rec.opens, rec.closes) << name;
        EXPECT_TRUE(rec.sources.empty()) << name;
        EXPECT_TRUE(rec.outputs.empty()) << name;
        expectSame(before, snapshot(path), name);
    }
    if (seen == 0) GTEST_SKIP() << "fixtures not built";
}

TEST(ReadOnly, WriteProtectedImageOpensReadOnlyEvenForRoot) {
    if (!fixtureAvailable("demo")) GTEST_SKIP() << "fixtures not built";
    const std::string dir = tempDir("ro-protected");
    const std::string path = copyFile(fixtureImage("demo"), dir + "/protected.img");
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
    // Root may write whatever the mode says; only the open flags keep it off.
    const bool root = ::geteuid() == 0;
    if (!root) {
        EXPECT_NE(0, ::access(path.c_str(), W_OK));
    }
    const Snapshot before = snapshot(path);
    RecordingPlatform rec;
    {
        ScopedPlatform scoped(rec);
        SearchOutcome r = search(path);
        EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
        const Image img = loadImage("demo");
        for (const auto& f : img.deletedFiles()) {
            EXPECT_EQ(1u, r.byRecord.count(f["record"].get<std::uint64_t>()));
        }
        EXPECT_EQ(0, restoreIsRightOrFails(img, path, 74, dir));
    }
    EXPECT_GE(rec.opens, 2);
    EXPECT_EQ(rec.opens, rec.closes);
    expectSame(before, snapshot(path), "protected copy");
}

} // namespace
} // namespace resurgo::test::hostile

#endif  // !_WIN32
