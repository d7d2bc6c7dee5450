// Entries left in an INDX block's slack: one block, built here byte by
// byte, with one live entry and, past its in-use length, left-over entries
// each broken in one way; only those that parse whole and look like what
// NTFS writes are taken, the live one never twice from the live walk.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ntfs/FILE_NAME_ENTRY.h"
#include "ntfs/INDEX_BLOCK.h"

using namespace resurgo;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kBlock = 4096;
constexpr std::size_t kNode = INDEX_BLOCK::kNodeHeader;
constexpr std::size_t kUsa = 0x28;
constexpr std::uint64_t kTime = 132000000000000000ULL;  // 2019
constexpr std::uint64_t kParent = (5ULL << 48) | 64;    // record 64, sequence 5

void put(Bytes& b, std::size_t at, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct Entry {
    std::u16string name;
    std::uint8_t nameSpace = FILE_NAME_ENTRY::kWin32;
    std::uint64_t parent = kParent;
    std::uint64_t time = kTime;
    std::uint64_t allocated = 8192, size = 5000;
    std::uint16_t flags = 0;
    int lengthSkew = 0;  // added to the entry length field
};

// Writes e at pos; returns the position after it.
std::size_t write(Bytes& b, std::size_t pos, const Entry& e) {
    const std::size_t key = FILE_NAME_ENTRY::kName + 2 * e.name.size();
    std::size_t length = (INDEX_BLOCK::kEntryKey + key + 7) / 8 * 8;
    if (e.flags & INDEX_BLOCK::kEntrySubnode) length += 8;
    put(b, pos + INDEX_BLOCK::kEntryReference, (1ULL << 48) | 70, 8);
    put(b, pos + INDEX_BLOCK::kEntryLength, length + e.lengthSkew, 2);
    put(b, pos + INDEX_BLOCK::kEntryKeyLength, key, 2);
    put(b, pos + INDEX_BLOCK::kEntryFlags, e.flags, 2);
    const std::size_t k = pos + INDEX_BLOCK::kEntryKey;
    put(b, k + FILE_NAME_ENTRY::kParent, e.parent, 8);
    for (std::size_t t : {FILE_NAME_ENTRY::kCreationTime, FILE_NAME_ENTRY::kModificationTime,
                          FILE_NAME_ENTRY::kMftChangeTime, FILE_NAME_ENTRY::kAccessTime}) {
        put(b, k + t, e.time, 8);
    }
    put(b, k + FILE_NAME_ENTRY::kAllocatedSize, e.allocated, 8);
    put(b, k + FILE_NAME_ENTRY::kDataSize, e.size, 8);
    b[k + FILE_NAME_ENTRY::kNameLength] = static_cast<std::uint8_t>(e.name.size());
    b[k + FILE_NAME_ENTRY::kNamespace] = e.nameSpace;
    for (std::size_t i = 0; i < e.name.size(); ++i) put(b, k + FILE_NAME_ENTRY::kName + 2 * i, e.name[i], 2);
    return pos + length;
}

} // namespace

TEST(IndexBlockSlack, OnlyWholePlausibleLeftOverEntriesAreTaken) {
    const struct {
        const char* what;
        Entry entry;
        bool taken;
    } cases[] = {
        {"a whole entry", {u"kept.jpg"}, true},
        {"a subnode entry with its VCN", {u"sub.png", 1, kParent, kTime, 8192, 5000, INDEX_BLOCK::kEntrySubnode}, true},
        {"a DOS name", {u"DOSNAME.TXT", FILE_NAME_ENTRY::kDos}, true},
        {"namespace 4", {u"ns4.jpg", 4}, false},
        {"a NUL in the name", {std::u16string(u"nu") + u'\0' + u"l.jpg"}, false},
        {"a slash in the name", {u"a/b.jpg"}, false},
        {"a lone surrogate", {std::u16string(u"s") + char16_t(0xD800) + u".jpg"}, false},
        {"a length that is not the key's", {u"long.jpg", 1, kParent, kTime, 8192, 5000, 0, 8}, false},
        {"a time before 1980", {u"old.jpg", 1, kParent, 0}, false},
        {"a time past 2100", {u"future.jpg", 1, kParent, 0x7FFFFFFFFFFFFFFFULL}, false},
        {"allocated below the size", {u"small.jpg", 1, kParent, kTime, 4096, 5000}, false},
        {"a parent of sequence 0", {u"orphan.jpg", 1, 64}, false},
        {"a parent past 32-bit records", {u"far.jpg", 1, (5ULL << 48) | (1ULL << 40)}, false},
        {"the entry after the broken ones", {u"last.gif"}, true},
    };
    Bytes b(kBlock, 0);
    std::memcpy(b.data(), "INDX", 4);
    put(b, INDEX_BLOCK::kUsaOffset, kUsa, 2);
    put(b, INDEX_BLOCK::kUsaCount, kBlock / 512 + 1, 2);
    const std::size_t first = 0x40;  // entries start after the update sequence array
    std::size_t pos = write(b, first, {u"live.txt"});
    // The end entry closes the live entries.
    put(b, pos + INDEX_BLOCK::kEntryLength, INDEX_BLOCK::kEntryKey, 2);
    put(b, pos + INDEX_BLOCK::kEntryFlags, INDEX_BLOCK::kEntryLast, 2);
    pos += INDEX_BLOCK::kEntryKey;
    put(b, kNode + INDEX_BLOCK::kNodeEntriesOffset, first - kNode, 4);
    put(b, kNode + INDEX_BLOCK::kNodeIndexLength, pos - kNode, 4);
    put(b, kNode + INDEX_BLOCK::kNodeAllocated, kBlock - kNode, 4);
    // A copy of the live entry, as a deletion's move leaves one.
    pos = write(b, pos, {u"live.txt"});
    std::vector<std::string> expected = {"live.txt"};
    for (const auto& c : cases) {
        pos = write(b, pos, c.entry);
        if (c.taken) expected.push_back(std::string(c.entry.name.begin(), c.entry.name.end()));
    }
    ASSERT_LT(pos, kBlock - 8);
    // Update sequence: each stride's last two bytes go to the array, the
    // sequence number in their place.
    put(b, kUsa, 7, 2);
    for (std::size_t s = 0; s < kBlock / 512; ++s) {
        const std::size_t end = (s + 1) * 512 - 2;
        b[kUsa + 2 + 2 * s] = b[end];
        b[kUsa + 3 + 2 * s] = b[end + 1];
        put(b, end, 7, 2);
    }

    INDEX_BLOCK block;
    block.parse(b.data(), b.size());
    ASSERT_EQ(block.names.size(), 1u);
    EXPECT_EQ(block.names[0].name, "live.txt");
    std::vector<std::string> taken;
    for (const INDEX_NAME& n : block.slackNames) taken.push_back(n.name);
    EXPECT_EQ(taken, expected);
    EXPECT_EQ(block.slackNames.back().dataSize, 5000u);
    EXPECT_EQ(block.slackNames.back().parent.recordNumber(), 64u);
}
