// The mount table as the kernel writes it (/proc/self/mounts).

#include <gtest/gtest.h>

#include <sstream>

#include "platform/MountTable.h"

using namespace resurgo;

TEST(MountTable, DecodesTheKernelsEscapes) {
    std::istringstream text(
        "/dev/sda2 /mnt/my\\040disk fuseblk rw,relatime 0 0\n"
        "\n"
        "proc /proc proc rw 0 0\n"
        "/dev/sdb1 /media/a\\134b\\011c ntfs3 ro 0 0\n");
    auto entries = MountTable::parse(text);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].device, "/dev/sda2");
    EXPECT_EQ(entries[0].mountPoint, "/mnt/my disk");
    EXPECT_EQ(entries[0].type, "fuseblk");
    EXPECT_EQ(entries[2].mountPoint, "/media/a\\b\tc");
    EXPECT_EQ(MountTable::unescape("end\\04"), "end\\04");  // too short to be an escape
}
