#pragma once
// Directory indexes held in memory: an INDX block of a directory's
// $INDEX_ALLOCATION, fixed up and taken apart into the names it indexes, and
// the $I30 index root and allocation runs of a directory record. Only the
// file-name keys are kept: which record (number and sequence) is called
// what, and in which directory.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/ByteReader.h"
#include "ntfs/FILE_REFERENCE.h"
#include "ntfs/RUN_LIST.h"
#include "ntfs/UpdateSequence.h"

namespace resurgo {

// One entry of a directory index: child is the indexed file, parent the
// directory its $FILE_NAME key names.
struct INDEX_NAME {
    FILE_REFERENCE child;
    FILE_REFERENCE parent;
    std::string name;  // UTF-8
    // The key's copy of the file's data size and times (as stored when the
    // entry was last written).
    std::uint64_t dataSize = 0;
    std::uint64_t created = 0, modified = 0, accessed = 0;
    std::uint8_t nameSpace = 0;
    // The key's file attributes mark the child as a directory.
    bool isDirectory = false;
};

class INDEX_BLOCK {
public:
    // INDX block header.
    static constexpr std::size_t kSignature = 0x00;
    static constexpr std::size_t kUsaOffset = UpdateSequence::kArrayOffset;
    static constexpr std::size_t kUsaCount = UpdateSequence::kArrayCount;
    static constexpr std::size_t kVcn = 0x10;
    static constexpr std::size_t kNodeHeader = 0x18;
    // Index node header (from its own start).
    static constexpr std::size_t kNodeEntriesOffset = 0x00;
    static constexpr std::size_t kNodeIndexLength = 0x04;
    static constexpr std::size_t kNodeAllocated = 0x08;
    static constexpr std::size_t kNodeBytes = 0x10;
    // Index entry.
    static constexpr std::size_t kEntryReference = 0x00;
    static constexpr std::size_t kEntryLength = 0x08;
    static constexpr std::size_t kEntryKeyLength = 0x0A;
    static constexpr std::size_t kEntryFlags = 0x0C;
    static constexpr std::size_t kEntryKey = 0x10;
    static constexpr std::uint16_t kEntrySubnode = 0x0001;
    static constexpr std::uint16_t kEntryLast = 0x0002;
    // A subnode entry ends with the VCN of its child block.
    static constexpr std::size_t kEntrySubnodeVcnBytes = 8;
    // Entries start at 8-byte boundaries of the node.
    static constexpr std::size_t kEntryAlign = 8;
    // $FILE_NAME file attribute of a directory (it has an $I30 index).
    static constexpr std::uint32_t kAttrDirectory = 0x10000000;
    // $INDEX_ROOT value: its node header follows the index parameters.
    static constexpr std::size_t kRootNodeHeader = 0x10;
    static constexpr std::uint32_t kTypeIndexRoot = 0x90;
    static constexpr std::uint32_t kTypeIndexAllocation = 0xA0;
    // Update sequences protect blocks in strides of 512 bytes; index
    // blocks are 512 bytes to 64 KiB.
    static constexpr std::size_t kStride = UpdateSequence::kStride;
    static constexpr std::size_t kMaxBlockBytes = 65536;

    INDEX_BLOCK();
    virtual ~INDEX_BLOCK();
    INDEX_BLOCK(const INDEX_BLOCK&) = default;
    INDEX_BLOCK& operator=(const INDEX_BLOCK&) = default;

    // The block size an INDX header at bytes announces (its update sequence
    // count), or 0 when bytes hold no INDX header of a size NTFS writes.
    static std::size_t announcedBytes(const std::uint8_t* bytes, std::size_t length);
    // Fixes up (the bytes are modified) and decodes one INDX block of
    // exactly announcedBytes bytes. Raises code 13 when the signature, the
    // update sequence or an entry is out of place.
    void parse(std::uint8_t* bytes, std::size_t length);

    // Decodes the entries of the index node whose header lies at node.
    // Entries whose key is no $FILE_NAME of a sane length are skipped.
    static void decodeNode(const ByteReader& node, std::vector<INDEX_NAME>& out);
    // Decodes what is left of entries between the node's in-use length and
    // its allocated length (the node's own bytes at most): deletions move
    // the entries after a removed one down and a node split moves half of
    // them out, leaving whole old entries behind. Only entries that parse
    // whole and look like ones NTFS writes are taken (see slackEntry).
    static void decodeSlack(const ByteReader& node, std::vector<INDEX_NAME>& out);

    // In a fixed-up file record: appends the names its $I30 index root
    // holds, and gives the runs of its $I30 index allocation (nothing when
    // it has none). Raises code 13 or 15 for an attribute out of place.
    static void readDirectoryRecord(const std::uint8_t* record, std::size_t length, std::vector<INDEX_NAME>& rootNames,
                                    std::optional<RUN_LIST>& allocation);

    // The block's own VCN, as its header states it.
    std::uint64_t vcn = 0;
    std::vector<INDEX_NAME> names;
    // Entries left in the block's slack: a deleted file's name may be among
    // them, and so may stale copies of live entries.
    std::vector<INDEX_NAME> slackNames;

private:
    // The entry at pos of node when it holds a $FILE_NAME key of a sane
    // length: true and its name into out.
    static bool readEntry(const ByteReader& node, std::size_t pos, std::size_t entryLength, INDEX_NAME& out);
    // The left-over entry at pos of node, [pos, end) available: true and
    // its name when its lengths agree with each other and with its name,
    // its namespace is known, its name is UTF-16 without NUL or '/', both
    // references name plausible records, its times lie in a sane range and
    // its allocated size holds its data size. Its length into entryLength.
    static bool slackEntry(const ByteReader& node, std::size_t pos, std::size_t end, INDEX_NAME& out,
                           std::size_t& entryLength);
};

} // namespace resurgo
