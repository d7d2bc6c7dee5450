#include "source/ShadowCatalog.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "core/ByteReader.h"
#include "source/Source.h"
#include "source/SourceError.h"

namespace resurgo {

namespace {

// {3808876b-c176-4e48-b7ae-04046e6cc752} as stored: every header and block
// of the shadow-copy area starts with it.
constexpr std::uint8_t kIdentifier[16] = {0x6B, 0x87, 0x08, 0x38, 0x76, 0xC1, 0x48, 0x4E,
                                          0xB7, 0xAE, 0x04, 0x04, 0x6E, 0x6C, 0xC7, 0x52};

// The 128-byte header of the volume header and of every block.
constexpr std::size_t kRecordType = 0x14;    // u32: 1 volume header, 2 catalog, 3 block list, 4 store header,
                                             // 5 range list, 6 bitmap
constexpr std::size_t kCatalogOffset = 0x30;  // volume header: first catalog block
constexpr std::size_t kNextOffset = 0x28;     // block header: the next block of its chain (0: none)

constexpr std::uint32_t kTypeVolume = 1;
constexpr std::uint32_t kTypeCatalog = 2;
constexpr std::uint32_t kTypeBlockList = 3;
constexpr std::uint32_t kTypeStoreHeader = 4;
constexpr std::uint32_t kTypeRangeList = 5;
constexpr std::uint32_t kTypeBitmap = 6;

// Catalog entries: a u64 type first (0 empty, 1 unused, 2 store
// description, 3 store location).
constexpr std::size_t kEntryType = 0x00;
constexpr std::size_t kEntryVolumeSize = 0x08;   // type 2
constexpr std::size_t kEntryIdentifier = 0x10;   // types 2 and 3: the store's GUID
constexpr std::size_t kEntryCreated = 0x30;      // type 2: FILETIME
constexpr std::size_t kEntryBlockList = 0x08;    // type 3
constexpr std::size_t kEntryHeader = 0x20;       // type 3
constexpr std::size_t kEntryRangeList = 0x28;    // type 3
constexpr std::size_t kEntryBitmap = 0x30;       // type 3

std::string hex(std::uint64_t v) {
    char text[24];
    (void)std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

ShadowCatalog::Entry& entryFor(std::vector<ShadowCatalog::Entry>& entries, const std::uint8_t* id) {
    for (auto& e : entries) {
        if (std::memcmp(e.identifier, id, 16) == 0) return e;
    }
    ShadowCatalog::Entry& e = entries.emplace_back();
    std::memcpy(e.identifier, id, 16);
    return e;
}

} // namespace

bool ShadowCatalog::hasIdentifier(const std::uint8_t* bytes, std::size_t length) {
    return length >= sizeof kIdentifier && std::memcmp(bytes, kIdentifier, sizeof kIdentifier) == 0;
}

std::uint64_t ShadowCatalog::nextOf(const std::uint8_t* block, std::size_t length, std::uint32_t type,
                                    const char* what) {
    const ByteReader r(block, length, kErrUnrecognized, "ShadowCatalog::nextOf");
    r.require(0, kHeaderBytes);
    if (!hasIdentifier(block, length)) throw SourceError(kErrUnrecognized, std::string(what) + " has no shadow-copy signature");
    if (type != 0 && r.u32(kRecordType) != type) {
        throw SourceError(kErrUnrecognized, std::string(what) + " is a block of another kind (type " +
                                                std::to_string(r.u32(kRecordType)) + ")");
    }
    return r.u64(kNextOffset);
}

std::string ShadowCatalog::identifierText(const std::uint8_t* g) {
    char text[40];
    (void)std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", g[3],
                        g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return text;
}

void ShadowCatalog::takeEntries(const std::uint8_t* block, std::size_t length, std::vector<Entry>& entries) {
    const ByteReader r(block, length, kErrUnrecognized, "ShadowCatalog::takeEntries");
    for (std::size_t at = kHeaderBytes; r.contains(at, kEntryBytes); at += kEntryBytes) {
        const std::uint64_t type = r.u64(at + kEntryType);
        if (type != 2 && type != 3) continue;
        Entry& e = entryFor(entries, block + at + kEntryIdentifier);
        if (type == 2) {
            e.volumeSize = r.u64(at + kEntryVolumeSize);
            e.created = r.u64(at + kEntryCreated);
            e.described = true;
        } else {
            e.blockList = r.u64(at + kEntryBlockList);
            e.header = r.u64(at + kEntryHeader);
            e.rangeList = r.u64(at + kEntryRangeList);
            e.bitmap = r.u64(at + kEntryBitmap);
            e.located = true;
        }
    }
}

void ShadowCatalog::walkChain(Source& volume, std::uint64_t first, std::uint32_t type, const std::string& what,
                              std::vector<std::uint8_t>& block, std::vector<Entry>* entries) {
    const std::uint64_t size = volume.size();
    std::unordered_set<std::uint64_t> seen;
    for (std::uint64_t at = first; at != 0;) {
        // Overflow-safe: the whole block inside the volume.
        if (size < kBlockBytes || at > size - kBlockBytes) {
            throw SourceError(kErrUnrecognized, "the shadow-copy " + what + " points outside the volume (" + hex(at) + ")");
        }
        if (!seen.insert(at).second || seen.size() > kMaxChainBlocks) {
            throw SourceError(kErrUnrecognized, "the shadow-copy " + what + " loops back to " + hex(at));
        }
        volume.readExact(block.data(), block.size(), at, "ShadowCatalog::walkChain");
        const std::string where = "the shadow-copy " + what + " block at " + hex(at);
        const std::uint64_t next = nextOf(block.data(), block.size(), type, where.c_str());
        if (entries != nullptr) takeEntries(block.data(), block.size(), *entries);
        at = next;
    }
}

ShadowCatalog ShadowCatalog::read(Source& volume) {
    ShadowCatalog catalog;
    std::uint8_t header[kHeaderBytes] = {};
    if (volume.readAt(header, sizeof header, kHeaderOffset, "ShadowCatalog::read") < sizeof header) return catalog;
    if (!hasIdentifier(header, sizeof header)) return catalog;
    catalog.present_ = true;
    nextOf(header, sizeof header, kTypeVolume, "the shadow-copy volume header");
    const std::uint64_t first = ByteReader(header, sizeof header, kErrUnrecognized, "ShadowCatalog::read").u64(kCatalogOffset);
    // A header without a catalog: shadow copies were switched on, none taken.
    if (first == 0) return catalog;
    std::vector<std::uint8_t> block(kBlockBytes);
    walkChain(volume, first, kTypeCatalog, "catalog", block, &catalog.entries_);
    for (const Entry& e : catalog.entries_) {
        if (!e.described || !e.located) throw SourceError(kErrUnrecognized, "the shadow-copy catalog lists a store by halves");
        walkChain(volume, e.header, kTypeStoreHeader, "store header", block, nullptr);
        walkChain(volume, e.blockList, kTypeBlockList, "store block list", block, nullptr);
        walkChain(volume, e.rangeList, kTypeRangeList, "store range list", block, nullptr);
        walkChain(volume, e.bitmap, kTypeBitmap, "store bitmap", block, nullptr);
    }
    return catalog;
}

} // namespace resurgo
