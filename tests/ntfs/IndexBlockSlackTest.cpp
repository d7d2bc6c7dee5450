// Entries left in an INDX block's slack: past one live entry, a copy of it
// and left-over entries each broken in one way; only those that parse whole
// and look like what NTFS writes are taken.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ntfs/FILE_NAME_ENTRY.h"
#include "ntfs/INDEX_BLOCK.h"

using namespace resurgo;

namespace {

constexpr std::uint64_t kTime = 132000000000000000ULL;  // 2019
constexpr std::uint64_t kParent = (5ULL << 48) | 64;    // record 64, sequence 5

struct Entry {
    std::u16string name;
    std::uint8_t nameSpace = FILE_NAME_ENTRY::kWin32;
    std::uint64_t parent = kParent, time = kTime, allocated = 8192;
    std::uint16_t flags = 0;
    int lengthSkew = 0;  // added to the entry length field
};

void put(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Writes e (5000 bytes of data) at pos; returns the position after it.
std::size_t write(std::vector<std::uint8_t>& b, std::size_t pos, const Entry& e) {
    const std::size_t key = FILE_NAME_ENTRY::kName + 2 * e.name.size();
    const std::size_t length = (INDEX_BLOCK::kEntryKey + key + 7) / 8 * 8 + (e.flags != 0 ? 8 : 0);
    put(b, pos + INDEX_BLOCK::kEntryReference, (1ULL << 48) | 70, 8);
    put(b, pos + INDEX_BLOCK::kEntryLength, length + e.lengthSkew, 2);
    put(b, pos + INDEX_BLOCK::kEntryKeyLength, key, 2);
    put(b, pos + INDEX_BLOCK::kEntryFlags, e.flags, 2);
    const std::size_t k = pos + INDEX_BLOCK::kEntryKey;
    // Parent, the four times, allocated and data size: eight bytes each.
    const std::uint64_t fields[] = {e.parent, e.time, e.time, e.time, e.time, e.allocated, 5000};
    for (std::size_t i = 0; i < 7; ++i) put(b, k + FILE_NAME_ENTRY::kParent + 8 * i, fields[i], 8);
    b[k + FILE_NAME_ENTRY::kNameLength] = static_cast<std::uint8_t>(e.name.size());
    b[k + FILE_NAME_ENTRY::kNamespace] = e.nameSpace;
    for (std::size_t i = 0; i < e.name.size(); ++i) put(b, k + FILE_NAME_ENTRY::kName + 2 * i, e.name[i], 2);
    return pos + length;
}

} // namespace

TEST(IndexBlockSlack, OnlyWholePlausibleLeftOverEntriesAreTaken) {
    const struct {
        Entry entry;  // its name says what is wrong with it
        bool taken;
    } cases[] = {
        {{u"whole.jpg"}, true},
        {{u"subnode-with-vcn.png", 1, kParent, kTime, 8192, INDEX_BLOCK::kEntrySubnode}, true},
        {{u"namespace-4.jpg", 4}, false},
        {{std::u16string(u"nul") + u'\0' + u".jpg"}, false},
        {{u"slash/in.jpg"}, false},
        {{std::u16string(u"lone-surrogate") + char16_t(0xD800) + u".jpg"}, false},
        {{u"length-not-the-key's.jpg", 1, kParent, kTime, 8192, 0, 8}, false},
        {{u"time-before-1980.jpg", 1, kParent, 0}, false},
        {{u"allocated-below-size.jpg", 1, kParent, kTime, 4096}, false},
        {{u"parent-sequence-0.jpg", 1, 64}, false},
        {{u"after-the-broken.gif"}, true},
    };
    constexpr std::size_t kBlock = 4096, kNode = INDEX_BLOCK::kNodeHeader, kUsa = 0x28, kFirst = 0x40;
    std::vector<std::uint8_t> b(kBlock, 0);
    std::memcpy(b.data(), "INDX", 4);
    put(b, INDEX_BLOCK::kUsaOffset, kUsa, 2);
    put(b, INDEX_BLOCK::kUsaCount, kBlock / 512 + 1, 2);
    std::size_t pos = write(b, kFirst, {u"live.txt"});
    put(b, pos + INDEX_BLOCK::kEntryLength, INDEX_BLOCK::kEntryKey, 2);  // the end entry
    put(b, pos + INDEX_BLOCK::kEntryFlags, INDEX_BLOCK::kEntryLast, 2);
    pos += INDEX_BLOCK::kEntryKey;
    put(b, kNode + INDEX_BLOCK::kNodeEntriesOffset, kFirst - kNode, 4);
    put(b, kNode + INDEX_BLOCK::kNodeIndexLength, pos - kNode, 4);
    put(b, kNode + INDEX_BLOCK::kNodeAllocated, kBlock - kNode, 4);
    pos = write(b, pos, {u"live.txt"});  // as a deletion's move leaves it
    std::vector<std::string> expected = {"live.txt"};
    for (const auto& c : cases) {
        pos = write(b, pos, c.entry);
        if (c.taken) expected.emplace_back(c.entry.name.begin(), c.entry.name.end());
    }
    // Update sequence: each stride's last two bytes to the array, number 7 in their place.
    put(b, kUsa, 7, 2);
    for (std::size_t s = 0; s < kBlock / 512; ++s) {
        std::memcpy(&b[kUsa + 2 + 2 * s], &b[(s + 1) * 512 - 2], 2);
        put(b, (s + 1) * 512 - 2, 7, 2);
    }

    INDEX_BLOCK block;
    block.parse(b.data(), b.size());
    EXPECT_EQ(block.names.size(), 1u);
    std::vector<std::string> taken;
    for (const INDEX_NAME& n : block.slackNames) taken.push_back(n.name);
    EXPECT_EQ(taken, expected);
}
