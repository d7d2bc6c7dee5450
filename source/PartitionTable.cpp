#include "source/PartitionTable.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "core/ByteReader.h"
#include "source/SourceError.h"
#include "source/Source.h"

#if defined(RESURGO_HAVE_CONTAINERS)
#include <blkid/blkid.h>

#include "platform/MemoryFile.h"
#endif

namespace resurgo {

const PARTITION_ENTRY* PartitionTable::find(unsigned number) const {
    for (const PARTITION_ENTRY& e : entries) {
        if (e.number == number) return &e;
    }
    return nullptr;
}

#if defined(RESURGO_HAVE_CONTAINERS)

namespace {

// Where the tables live, read by libblkid (which parses and checks them).
// libblkid reads through a file descriptor, and the disk may be no file at
// all (a partition inside a container, memory): it is given a sparse
// memory file of the disk's length holding only the regions a table can
// occupy, copied from the disk. These offsets find those regions; nothing
// here decides what the table says.
constexpr std::size_t kHeadBytes = 64 << 10;      // MBR, GPT header (LBA 1 at 512 or 4096) and the usual entry array
constexpr std::size_t kTailBytes = 64 << 10;      // backup GPT header and entries
constexpr std::size_t kCopyPiece = 4 << 20;       // copied in pieces this long
constexpr std::size_t kMbrEntries = 446;          // four 16-byte entries
constexpr std::size_t kMbrEntrySize = 16;
constexpr std::size_t kEntryType = 4;
constexpr std::size_t kEntryStartLba = 8;
constexpr std::size_t kMbrSignature = 510;        // 55 AA
constexpr std::size_t kGptEntriesLba = 72;        // in the GPT header
constexpr std::size_t kGptEntryCount = 80;
constexpr std::size_t kGptEntrySize = 84;
constexpr std::size_t kGptAlternateLba = 32;

class TableImage {
public:
    TableImage(Source& disk, std::uint64_t size) : disk_(disk), size_(size), file_("resurgo-table", size) {}

    // Copies [offset, offset + length) of the disk (clamped to its end)
    // once; returns the bytes copied. A range that can't be read stays
    // blank (what libblkid then finds there is no table), unless required.
    std::vector<std::uint8_t> copy(std::uint64_t offset, std::uint64_t length, bool required = false) {
        if (offset >= size_) return {};
        length = std::min<std::uint64_t>(length, size_ - offset);
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length), 0);
        try {
            bytes.resize(disk_.readAt(bytes.data(), bytes.size(), offset, "PartitionTable::read"));
        } catch (const ErrorException&) {
            if (required) throw;
            return {};
        }
        if (copied_.insert({offset, bytes.size()}).second && !bytes.empty()) file_.write(bytes.data(), bytes.size(), offset);
        return bytes;
    }
    // copy() for a long range, in pieces (nothing returned).
    void copyLong(std::uint64_t offset, std::uint64_t length) {
        for (std::uint64_t done = 0; done < length; done += kCopyPiece) {
            if (offset >= size_ || done >= size_ - offset) return;
            if (copy(offset + done, std::min<std::uint64_t>(kCopyPiece, length - done)).empty()) return;
        }
    }
    int descriptor() const { return file_.descriptor(); }

private:
    Source& disk_;
    std::uint64_t size_;
    MemoryFile file_;
    std::set<std::pair<std::uint64_t, std::size_t>> copied_;
};

bool isExtendedType(std::uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

// The GPT entry array a header at offset names.
// Returns false when the array is too long to read.
bool copyGptEntries(TableImage& image, const std::vector<std::uint8_t>& sector, std::uint32_t sectorSize) {
    if (sector.size() < 92 || std::string(sector.begin(), sector.begin() + 8) != "EFI PART") return true;
    ByteReader header(sector.data(), sector.size(), kErrPartitionFormat, "PartitionTable::read <GptHeader>");
    const std::uint64_t lba = header.u64(kGptEntriesLba);
    const std::uint64_t bytes = static_cast<std::uint64_t>(header.u32(kGptEntryCount)) * header.u32(kGptEntrySize);
    if (bytes > PartitionTable::kMaxEntryArray) return false;
    if (lba < UINT64_MAX / sectorSize) image.copyLong(lba * sectorSize, bytes);
    const std::uint64_t alternate = header.u64(kGptAlternateLba);
    if (alternate < UINT64_MAX / sectorSize) {
        const std::vector<std::uint8_t> other = image.copy(alternate * sectorSize, sectorSize);
        if (other.size() >= 92 && std::string(other.begin(), other.begin() + 8) == "EFI PART") {
            ByteReader backup(other.data(), other.size(), kErrPartitionFormat, "PartitionTable::read <GptHeader>");
            const std::uint64_t backupLba = backup.u64(kGptEntriesLba);
            const std::uint64_t backupBytes =
                static_cast<std::uint64_t>(backup.u32(kGptEntryCount)) * backup.u32(kGptEntrySize);
            if (backupLba < UINT64_MAX / sectorSize && backupBytes <= PartitionTable::kMaxEntryArray) {
                image.copyLong(backupLba * sectorSize, backupBytes);
            }
        }
    }
    return true;
}

// The extended boot records along each extended partition's chain.
void copyExtendedChains(TableImage& image, const std::vector<std::uint8_t>& head, std::uint32_t sectorSize) {
    if (head.size() < 512 || head[kMbrSignature] != 0x55 || head[kMbrSignature + 1] != 0xAA) return;
    ByteReader mbr(head.data(), 512, kErrPartitionFormat, "PartitionTable::read <Mbr>");
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t entry = kMbrEntries + i * kMbrEntrySize;
        if (!isExtendedType(mbr.u8(entry + kEntryType))) continue;
        const std::uint64_t extended = mbr.u32(entry + kEntryStartLba);
        std::set<std::uint64_t> seen;
        std::uint64_t ebr = extended;
        for (int n = 0; n < PartitionTable::kMaxLogical && seen.insert(ebr).second; ++n) {
            const std::vector<std::uint8_t> sector = image.copy(ebr * sectorSize, sectorSize);
            if (sector.size() < 512 || sector[kMbrSignature] != 0x55 || sector[kMbrSignature + 1] != 0xAA) break;
            ByteReader record(sector.data(), 512, kErrPartitionFormat, "PartitionTable::read <Ebr>");
            // The second entry links to the next record, relative to the
            // start of the extended partition.
            const std::size_t link = kMbrEntries + kMbrEntrySize;
            if (!isExtendedType(record.u8(link + kEntryType))) break;
            const std::uint32_t next = record.u32(link + kEntryStartLba);
            if (next == 0) break;
            ebr = extended + next;
        }
    }
}

struct Probe {
    blkid_probe pr = blkid_new_probe();
    ~Probe() {
        if (pr != nullptr) blkid_free_probe(pr);
    }
};

std::string hexType(int type) {
    constexpr char kDigits[] = "0123456789abcdef";
    const unsigned byte = static_cast<unsigned>(type) & 0xFFu;
    return std::string("0x") + kDigits[byte >> 4] + kDigits[byte & 0xFu];
}

} // namespace

PartitionTable PartitionTable::read(Source& disk) {
    PartitionTable table;
    const std::uint64_t size = disk.size();
    if (size < 1024) return table;
    TableImage image(disk, size);
    const std::vector<std::uint8_t> head = image.copy(0, kHeadBytes, true);
    image.copy(size > kTailBytes ? size - kTailBytes : 0, kTailBytes);

    // The unit the table counts in: a device says; in an image file a GPT
    // header at 4096 and none at 512 means 4096-byte sectors.
    std::uint32_t sectorSize = disk.sectorSize() != 0 ? disk.sectorSize() : 512;
    auto gptAt = [&](std::size_t offset) {
        return head.size() >= offset + 8 && std::memcmp(head.data() + offset, "EFI PART", 8) == 0;
    };
    if (disk.sectorSize() == 0 && !gptAt(512) && gptAt(4096)) sectorSize = 4096;
    const std::size_t unit = sectorSize;
    if (head.size() >= 2 * unit &&
        !copyGptEntries(image, std::vector<std::uint8_t>(head.data() + unit, head.data() + 2 * unit), sectorSize)) {
        table.problems.push_back("the GPT header names an entry array longer than " +
                                 std::to_string(kMaxEntryArray >> 20) + " MiB, which is not read");
    }
    copyExtendedChains(image, head, sectorSize);

    Probe probe;
    if (probe.pr == nullptr) throw ErrorException(kErrNoMemory, "PartitionTable::read <Probe>");
    if (blkid_probe_set_device(probe.pr, image.descriptor(), 0, static_cast<blkid_loff_t>(size)) != 0) {
        throw ErrorException(kErrReadDisk, "PartitionTable::read <Device>");
    }
    if (blkid_probe_set_sectorsize(probe.pr, sectorSize) != 0) {
        throw ErrorException(kErrReadDisk, "PartitionTable::read <SectorSize>");
    }
    blkid_probe_enable_superblocks(probe.pr, 0);
    blkid_probe_enable_partitions(probe.pr, 1);
    blkid_probe_set_partitions_flags(probe.pr, BLKID_PARTS_ENTRY_DETAILS);
    char dos[] = "dos", gpt[] = "gpt";
    char* schemes[] = {dos, gpt, nullptr};
    blkid_probe_filter_partitions_type(probe.pr, BLKID_FLTR_ONLYIN, schemes);
    blkid_partlist list = blkid_probe_get_partitions(probe.pr);
    if (list == nullptr) return table;
    blkid_parttable root = blkid_partlist_get_table(list);
    if (root == nullptr) return table;
    const std::string type = blkid_parttable_get_type(root) ? blkid_parttable_get_type(root) : "";
    if (type != "dos" && type != "gpt") return table;
    table.scheme = type == "dos" ? "mbr" : "gpt";
    table.sectorSize = sectorSize;

    const int count = blkid_partlist_numof_partitions(list);
    for (int i = 0; i < count; ++i) {
        blkid_partition part = blkid_partlist_get_partition(list, i);
        if (part == nullptr || blkid_partition_is_extended(part)) continue;
        PARTITION_ENTRY e;
        e.number = static_cast<unsigned>(blkid_partition_get_partno(part));
        // libblkid counts in 512-byte units whatever the sector size, and
        // gives a GPT entry whose last sector lies before its first a
        // negative size.
        const blkid_loff_t start = blkid_partition_get_start(part);
        const blkid_loff_t length = blkid_partition_get_size(part);
        const std::string which = "partition " + std::to_string(e.number);
        if (start < 0 || length < 0) {
            const std::uint64_t last = static_cast<std::uint64_t>(start) + static_cast<std::uint64_t>(length) - 1;
            table.problems.push_back(which + " ends before it starts (first sector " + std::to_string(start) +
                                     ", last " + std::to_string(last) + "): left out");
            continue;
        }
        constexpr std::uint64_t kUnits = UINT64_MAX / 512;
        const auto first = static_cast<std::uint64_t>(start);
        const auto count = static_cast<std::uint64_t>(length);
        if (first > kUnits || count > kUnits - first) {
            table.problems.push_back(which + " ends past the end of any disk (sector " + std::to_string(first) +
                                     ", " + std::to_string(count) + " sectors): left out");
            continue;
        }
        e.start = first * 512;
        e.size = count * 512;
        e.scheme = table.scheme;
        if (table.scheme == "gpt") {
            const char* guid = blkid_partition_get_type_string(part);
            e.type = guid ? guid : "";
            const char* name = blkid_partition_get_name(part);
            e.name = name ? name : "";
        } else {
            e.type = hexType(blkid_partition_get_type(part));
        }
        table.entries.push_back(e);
    }

    // Entries that share bytes can't both be what the table says: each is
    // marked with one it overlaps (sorted by start, each is checked
    // against the one reaching furthest before it).
    std::vector<PARTITION_ENTRY*> sorted;
    for (PARTITION_ENTRY& e : table.entries) sorted.push_back(&e);
    std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) { return a->start < b->start; });
    PARTITION_ENTRY* furthest = nullptr;
    for (PARTITION_ENTRY* b : sorted) {
        if (furthest != nullptr && b->size > 0 && b->start < furthest->start + furthest->size) {
            if (furthest->overlaps == 0) furthest->overlaps = b->number;
            if (b->overlaps == 0) b->overlaps = furthest->number;
            table.problems.push_back("partitions " + std::to_string(furthest->number) + " and " +
                                     std::to_string(b->number) + " overlap");
        }
        if (b->size > 0 && (furthest == nullptr || b->start + b->size > furthest->start + furthest->size)) furthest = b;
    }
    return table;
}

#else

PartitionTable PartitionTable::read(Source&) { return PartitionTable(); }

#endif

} // namespace resurgo
