// Directory paths rebuilt on a small volume held in memory: the root, the
// cache, and the placeholders for parents that are gone, reused, unreadable,
// looping or of another generation (sequence number).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "file/FileZ.h"
#include "recovery/FilesystemNTFS.h"
#include "support/RecordBuilder.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;
using namespace resurgo::test::rb;

namespace {

// Counts the reads of the in-memory source.
class CountingPlatform : public MemoryPlatform {
public:
    using MemoryPlatform::MemoryPlatform;
    bool readAt(OsHandle h, void* b, std::size_t n, std::uint64_t off, std::size_t& got) override {
        ++reads;
        return MemoryPlatform::readAt(h, b, n, off, got);
    }
    int reads = 0;
};

void putDirectory(MemoryVolume& vol, std::uint32_t n, std::uint64_t parent, const std::string& name,
                  std::uint16_t sequence = 1, std::uint16_t flags = kInUse | kDirectory) {
    vol.putRecord(n, fileRecord(n, parent, name, flags, sequence).build());
}

// 4 KiB clusters, the MFT in 16 clusters at LCN 4 (64 records).
MemoryVolume directoryVolume() {
    MemoryVolume vol(8, {{4, 16}}, 64);
    putDirectory(vol, 30, ref(5, 5), "A");
    putDirectory(vol, 31, ref(30, 1), "B");
    putDirectory(vol, 32, ref(5, 5), "now_a_file.txt", 1, kInUse);
    Bytes bad = fileRecord(33, ref(5, 5), "unreadable", kInUse | kDirectory, 1).build();
    std::copy_n("BAAD", 4, bad.begin());
    vol.putRecord(33, bad);
    putDirectory(vol, 34, ref(33, 1), "B2");
    putDirectory(vol, 36, ref(37, 1), "L1");
    putDirectory(vol, 37, ref(36, 1), "L2");
    putDirectory(vol, 38, ref(38, 1), "Self");
    putDirectory(vol, 39, ref(5, 5), "Seq9", 9);
    putDirectory(vol, 40, ref(5, 5), "Freed", 10, kDirectory);  // deleted: its sequence was bumped
    putDirectory(vol, 41, ref(39, 8), "Inner");
    putDirectory(vol, 42, ref(40, 9), "InFreed");
    RecordBuilder file = fileRecord(50, ref(31, 1), "lost.txt", 0, 2);
    file.add(resident(kData, Bytes(10, 1)));
    vol.putRecord(50, file.build());
    return vol;
}

class DirectoryPath : public ::testing::Test {
protected:
    DirectoryPath() : platform_(directoryVolume().image), scoped_(platform_) {
        NTFS_GEOMETRY g = directoryVolume().geometry();
        fs_.open(g);
    }
    ~DirectoryPath() override { fs_.close(); }
    std::string path(std::uint64_t record, std::uint16_t sequence) {
        return fs_.getDirectoryInfo(FILE_REFERENCE(ref(record, sequence))).path;
    }

    CountingPlatform platform_;
    ScopedPlatform scoped_;
    FilesystemNTFS fs_;
};

TEST_F(DirectoryPath, RootIsDotAndCachedWithParentFive) {
    EXPECT_EQ(fs_.directoryCacheSize(), 0u);
    EXPECT_EQ(path(5, 5), ".\\");
    EXPECT_EQ(fs_.directoryCacheSize(), 1u);
    DIRECTORY_INFO root = fs_.getDirectoryInfo(FILE_REFERENCE(ref(5, 5)));
    EXPECT_EQ(root.name, ".");
    EXPECT_EQ(root.parent.recordNumber(), 5u);
}

TEST_F(DirectoryPath, NestedDirectoriesAndTheCache) {
    EXPECT_EQ(path(31, 1), "A\\B\\");
    EXPECT_EQ(fs_.directoryCacheSize(), 2u);  // B with its path, A with its name only

    const int before = platform_.reads;
    EXPECT_EQ(path(31, 1), "A\\B\\");  // stored path: nothing read
    EXPECT_EQ(path(30, 1), "A\\");     // A's path built from the cached name
    EXPECT_EQ(platform_.reads, before);
    DIRECTORY_INFO a = fs_.getDirectoryInfo(FILE_REFERENCE(ref(30, 1)));
    EXPECT_EQ(a.name, "A");
    EXPECT_EQ(a.parent.recordNumber(), 5u);

    // A found file in B.
    FileZ file;
    file.openRecord(fs_.volume(), fs_.geometry(), &fs_.mftEntry(), 50);
    EXPECT_EQ(fs_.getDirectoryPath(file), "A\\B\\");
}

TEST_F(DirectoryPath, ParentsThatAreNoLongerDirectories) {
    EXPECT_EQ(path(32, 1), "dir_@32\\");       // the record now holds a file
    EXPECT_EQ(path(33, 1), "dir_@33\\");       // no "FILE" signature
    EXPECT_EQ(path(34, 1), "dir_@33\\B2\\");   // readable parent, unreadable grandparent
    EXPECT_EQ(path(1000, 1), "dir_@0\\!not_found_@1000\\");  // beyond the MFT: record 0 is no directory
}

TEST_F(DirectoryPath, ParentLoopsEndWithAPlaceholder) {
    EXPECT_EQ(path(36, 1), "dir_@36\\L2\\L1\\");
    EXPECT_EQ(path(38, 1), "dir_@38\\Self\\");
    EXPECT_EQ(path(37, 1), "dir_@37\\L1\\L2\\");
}

TEST_F(DirectoryPath, SequenceNumbersMustMatch) {
    EXPECT_EQ(path(39, 9), "Seq9\\");
    EXPECT_EQ(path(39, 8), "dir_@39\\");   // in use: only its own sequence number
    EXPECT_EQ(path(39, 10), "dir_@39\\");
    EXPECT_EQ(path(40, 10), "Freed\\");
    EXPECT_EQ(path(40, 9), "Freed\\");     // freed: one below counts too
    EXPECT_EQ(path(40, 8), "dir_@40\\");
    EXPECT_EQ(path(41, 1), "dir_@39\\Inner\\");
    EXPECT_EQ(path(42, 1), "Freed\\InFreed\\");
}

TEST(DirectoryCache, EmptiedWhenAnotherVolumeIsOpened) {
    MemoryVolume first = directoryVolume();
    MemoryVolume second(8, {{4, 16}}, 64);
    putDirectory(second, 30, ref(5, 5), "Other");
    putDirectory(second, 31, ref(30, 1), "Inside");
    NTFS_GEOMETRY g = first.geometry();
    FilesystemNTFS fs;
    {
        MemoryPlatform p(first.image);
        ScopedPlatform s(p);
        fs.open(g);
        EXPECT_EQ(fs.getDirectoryInfo(FILE_REFERENCE(ref(31, 1))).path, "A\\B\\");
        fs.close();
    }
    MemoryPlatform p(second.image);
    ScopedPlatform s(p);
    fs.open(g);
    EXPECT_EQ(fs.directoryCacheSize(), 0u);
    EXPECT_EQ(fs.getDirectoryInfo(FILE_REFERENCE(ref(31, 1))).path, "Other\\Inside\\");
    EXPECT_EQ(fs.getDirectoryInfo(FILE_REFERENCE(ref(30, 1))).path, "Other\\");
    fs.close();
}

} // namespace
