#pragma once
// The shadow-copy catalog of an NTFS volume, checked before the store
// reader (libvshadow) is handed the volume: the volume header at 0x1E00
// names the first 16 KiB catalog block, each block names the next, and
// the catalog's entries name each store's block list, range list and
// bitmap, which are chains of 16 KiB blocks too. Every offset must lie
// inside the volume and no chain may come back to a block it passed, so
// that a damaged or hostile catalog is turned down here, with its reason,
// rather than followed. Bytes in, values out.

#include <cstdint>
#include <string>
#include <vector>

namespace resurgo {

class Source;

class ShadowCatalog {
public:
    // Where the volume header lies, and the size of every catalog and store block.
    static constexpr std::uint64_t kHeaderOffset = 0x1E00;
    static constexpr std::size_t kHeaderBytes = 128;
    static constexpr std::size_t kBlockBytes = 0x4000;
    static constexpr std::size_t kEntryBytes = 128;
    // Blocks followed along one chain at most: 2^20 blocks of 16 KiB are
    // 16 GiB of lists, more than any store's changes need.
    static constexpr std::size_t kMaxChainBlocks = 1 << 20;

    // One store as the catalog lists it (entry types 2 and 3).
    struct Entry {
        std::uint8_t identifier[16] = {};
        std::uint64_t volumeSize = 0;
        std::uint64_t created = 0;  // FILETIME, UTC
        std::uint64_t blockList = 0;
        std::uint64_t header = 0;
        std::uint64_t rangeList = 0;
        std::uint64_t bitmap = 0;
        bool described = false;  // a type 2 entry was seen
        bool located = false;    // a type 3 entry was seen
    };

    // Reads the catalog of volume. present() is false when the volume has
    // no shadow-copy header; a header or catalog that is damaged (a block
    // outside the volume, a chain that loops, a block of another kind)
    // raises SourceError naming the damage.
    static ShadowCatalog read(Source& volume);

    bool present() const { return present_; }
    const std::vector<Entry>& entries() const { return entries_; }

    // Checks one 128-byte block header at offset inside block: the
    // shadow-copy identifier and, when type is not 0, the record type.
    // Returns the next block's offset.
    static std::uint64_t nextOf(const std::uint8_t* block, std::size_t length, std::uint32_t type, const char* what);
    static bool hasIdentifier(const std::uint8_t* bytes, std::size_t length);
    // A store's 16-byte identifier as Windows writes a GUID (its first three
    // fields little-endian): "600f0b69-5bdf-11e3-9d6c-005056c00008".
    static std::string identifierText(const std::uint8_t* guid);
    // Adds the catalog entries of one block to entries.
    static void takeEntries(const std::uint8_t* block, std::size_t length, std::vector<Entry>& entries);

private:
    // Follows the chain of blocks from first (whose headers are of type),
    // checking each offset; what names the chain in a message.
    static void walkChain(Source& volume, std::uint64_t first, std::uint32_t type, const std::string& what,
                          std::vector<std::uint8_t>& block, std::vector<Entry>* entries);

    bool present_ = false;
    std::vector<Entry> entries_;
};

} // namespace resurgo
