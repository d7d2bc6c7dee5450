#include "source/VhdxLog.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "core/ByteReader.h"
#include "source/Source.h"
#include "source/SourceError.h"

namespace resurgo {

namespace {

// Headers: two copies at 64 KiB and 128 KiB; the valid one with the
// higher sequence number is current.
constexpr std::uint64_t kHeaderOffsets[] = {64 << 10, 128 << 10};
constexpr std::size_t kHeaderSignature = 0;  // "head"
constexpr std::size_t kHeaderChecksum = 4;
constexpr std::size_t kHeaderSequence = 8;
constexpr std::size_t kHeaderLogGuid = 48;
constexpr std::size_t kHeaderLogLength = 68;
constexpr std::size_t kHeaderLogOffset = 72;
// The format allows a log of up to 4 GiB; larger than any writer makes.
constexpr std::uint32_t kMaxLogBytes = 256u << 20;
// The log is read (and its checksums run) in pieces this long.
constexpr std::size_t kReadPiece = 4 << 20;

// Log entry header.
constexpr std::size_t kEntrySignature = 0;  // "loge"
constexpr std::size_t kEntryChecksum = 4;
constexpr std::size_t kEntryLength = 8;
constexpr std::size_t kEntryTail = 12;
constexpr std::size_t kEntrySequence = 16;
constexpr std::size_t kEntryDescriptorCount = 24;
constexpr std::size_t kEntryLogGuid = 32;
constexpr std::size_t kEntryLastFileOffset = 56;
constexpr std::size_t kEntryHeaderSize = 64;

// Descriptors (32 bytes each, after the entry header; a sector holds a
// whole number of them).
constexpr std::size_t kDescriptorSize = 32;
constexpr std::size_t kDescriptorSignature = 0;  // "zero" or "desc"
constexpr std::size_t kDescTrailingBytes = 4;
constexpr std::size_t kDescLeadingBytes = 8;
constexpr std::size_t kZeroLength = 8;
constexpr std::size_t kDescriptorFileOffset = 16;
constexpr std::size_t kDescriptorSequence = 24;

// Data sectors.
constexpr std::size_t kDataSignature = 0;  // "data"
constexpr std::size_t kDataSequenceHigh = 4;
constexpr std::size_t kDataSequenceLow = 4092;

constexpr std::uint32_t kCastagnoli = 0x82F63B78u;  // reflected polynomial

bool signatureIs(const ByteReader& r, std::size_t offset, const char* text) {
    r.require(offset, 4);
    return std::memcmp(r.data() + offset, text, 4) == 0;
}

// (a * b) mod P over GF(2), bit 31 being x^0 (the reflected order CRC-32C
// keeps its register in).
std::uint32_t multiplyModP(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (std::uint32_t m = 1u << 31; m != 0; m >>= 1) {
        if ((a & m) != 0) product ^= b;
        b = (b & 1) != 0 ? (b >> 1) ^ kCastagnoli : b >> 1;
    }
    return product;
}

// x^(8 * bytes) mod P: what a checksum is multiplied by to move it past
// that many bytes.
std::uint32_t shiftFor(std::uint64_t bytes) {
    static const std::array<std::uint32_t, 64> powers = [] {
        std::array<std::uint32_t, 64> p{};
        p[0] = 1u << 23;  // x^8: one byte
        for (std::size_t k = 1; k < p.size(); ++k) p[k] = multiplyModP(p[k - 1], p[k - 1]);
        return p;
    }();
    std::uint32_t result = 1u << 31;  // x^0
    for (std::size_t k = 0; bytes != 0; ++k, bytes >>= 1) {
        if ((bytes & 1) != 0) result = multiplyModP(powers[k], result);
    }
    return result;
}

const std::array<std::uint32_t, 256>& crcTable() {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kCastagnoli : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
// The processor's CRC-32C instruction (SSE 4.2), eight bytes at a time.
__attribute__((target("sse4.2"))) std::uint32_t crcHardware(std::uint32_t crc, const std::uint8_t* data,
                                                             std::size_t length) {
    std::uint64_t c = crc;
    for (; length >= 8; data += 8, length -= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, data, 8);
        c = __builtin_ia32_crc32di(c, word);
    }
    std::uint32_t c32 = static_cast<std::uint32_t>(c);
    for (; length > 0; ++data, --length) c32 = __builtin_ia32_crc32qi(c32, *data);
    return c32;
}
bool hasHardwareCrc() {
    static const bool has = __builtin_cpu_supports("sse4.2");
    return has;
}
#else
std::uint32_t crcHardware(std::uint32_t crc, const std::uint8_t*, std::size_t) { return crc; }
bool hasHardwareCrc() { return false; }
#endif

// A valid entry: where it lies in the log and what its header says.
struct Entry {
    std::uint64_t position = 0;
    std::uint32_t length = 0;
    std::uint32_t tail = 0;
    std::uint64_t sequence = 0;
    std::uint64_t lastFileOffset = 0;
    std::uint32_t descriptors = 0;
};

// An entry's bytes read in place in the circular log: sector i of the entry
// is the log's sector (position / 4096 + i) modulo the log's sectors. No
// field crosses a sector.
class EntryBytes {
public:
    EntryBytes(const std::vector<std::uint8_t>& log, std::uint64_t position) : log_(log), position_(position) {}
    ByteReader sector(std::uint64_t index) const {
        const std::uint64_t at = (position_ + index * VhdxLog::kSector) % log_.size();
        return ByteReader(log_.data() + at, VhdxLog::kSector, kErrOpenDisk, "VhdxLog::VhdxLog");
    }
    // The reader of the sector holding entry offset at, and at's place in it.
    std::pair<ByteReader, std::size_t> field(std::uint64_t at) const {
        return {sector(at / VhdxLog::kSector), static_cast<std::size_t>(at % VhdxLog::kSector)};
    }

private:
    const std::vector<std::uint8_t>& log_;
    std::uint64_t position_;
};

// Whether every descriptor of e is well formed and every data sector is in
// its place; work counts the descriptors looked at.
bool descriptorsValid(const EntryBytes& bytes, const Entry& e, std::uint64_t& work) {
    const std::uint64_t descriptorSectors =
        (kEntryHeaderSize + static_cast<std::uint64_t>(e.descriptors) * kDescriptorSize + VhdxLog::kSector - 1) /
        VhdxLog::kSector;
    if (descriptorSectors * VhdxLog::kSector > e.length) return false;
    std::uint64_t dataSector = descriptorSectors;
    for (std::uint64_t d = 0; d < e.descriptors; ++d) {
        ++work;
        const auto [r, at] = bytes.field(kEntryHeaderSize + d * kDescriptorSize);
        if (signatureIs(r, at + kDescriptorSignature, "desc")) {
            if ((dataSector + 1) * VhdxLog::kSector > e.length || r.u64(at + kDescriptorSequence) != e.sequence ||
                r.u64(at + kDescriptorFileOffset) % VhdxLog::kSector != 0) {
                return false;
            }
            const ByteReader data = bytes.sector(dataSector++);
            const std::uint64_t seq = (static_cast<std::uint64_t>(data.u32(kDataSequenceHigh)) << 32) |
                                      data.u32(kDataSequenceLow);
            if (!signatureIs(data, kDataSignature, "data") || seq != e.sequence) return false;
        } else if (signatureIs(r, at + kDescriptorSignature, "zero")) {
            if (r.u64(at + kDescriptorSequence) != e.sequence ||
                r.u64(at + kDescriptorFileOffset) % VhdxLog::kSector != 0 ||
                r.u64(at + kZeroLength) % VhdxLog::kSector != 0) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

std::uint32_t VhdxLog::crc32c(const std::uint8_t* data, std::size_t length, std::uint32_t crc) {
    crc = ~crc;
    if (hasHardwareCrc()) {
        crc = crcHardware(crc, data, length);
    } else {
        const auto& table = crcTable();
        for (std::size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

std::uint32_t VhdxLog::crc32cCombine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB) {
    return multiplyModP(shiftFor(lengthB), crcA) ^ crcB;
}

VhdxLog::VhdxLog(Source& file, const std::function<void(int)>& progress) {
    const char* where = "VhdxLog::VhdxLog";
    // The current header.
    std::optional<std::vector<std::uint8_t>> current;
    std::uint64_t currentSequence = 0;
    for (std::uint64_t at : kHeaderOffsets) {
        std::vector<std::uint8_t> h(kSector, 0);
        if (file.readAt(h.data(), h.size(), at, where) != h.size()) continue;
        ByteReader r(h.data(), h.size(), kErrOpenDisk, where);
        if (!signatureIs(r, kHeaderSignature, "head")) continue;
        const std::uint32_t sum = r.u32(kHeaderChecksum);
        std::memset(h.data() + kHeaderChecksum, 0, 4);
        if (crc32c(h.data(), h.size()) != sum) continue;
        if (!current || r.u64(kHeaderSequence) > currentSequence) {
            currentSequence = r.u64(kHeaderSequence);
            current = h;
        }
    }
    if (!current) throw SourceError(kErrOpenDisk, "both VHDX headers are damaged");
    const ByteReader header(current->data(), current->size(), kErrOpenDisk, where);
    header.require(kHeaderLogGuid, 16);
    std::uint8_t logGuid[16];
    std::memcpy(logGuid, header.data() + kHeaderLogGuid, 16);
    if (std::all_of(logGuid, logGuid + 16, [](std::uint8_t b) { return b == 0; })) return;  // nothing logged

    const std::uint64_t logOffset = header.u64(kHeaderLogOffset);
    const std::uint32_t logLength = header.u32(kHeaderLogLength);
    if (logLength == 0 || logLength % kSector != 0 || logOffset % kSector != 0 || logLength > kMaxLogBytes) {
        throw SourceError(kErrOpenDisk, "the VHDX log region is damaged (offset " + std::to_string(logOffset) +
                                            ", length " + std::to_string(logLength) + ")");
    }
    const std::size_t slots = logLength / kSector;

    // The log, read once, with the checksum of its first k sectors for
    // every k (the checksum of any run of sectors follows from two).
    std::vector<std::uint8_t> log(logLength, 0);
    std::vector<std::uint32_t> crcBefore(slots + 1, 0);
    const bool report = progress && logLength >= kProgressBytes;
    for (std::size_t done = 0; done < logLength;) {
        const std::size_t piece = std::min<std::size_t>(kReadPiece, logLength - done);
        if (file.readAt(log.data() + done, piece, logOffset + done, where) != piece) {
            throw SourceError(kErrOpenDisk, "the VHDX log lies past the end of the file (cut short?)");
        }
        for (std::size_t s = done / kSector; s < (done + piece) / kSector; ++s) {
            crcBefore[s + 1] = crc32c(log.data() + s * kSector, kSector, crcBefore[s]);
        }
        done += piece;
        if (report) progress(static_cast<int>(static_cast<std::uint64_t>(done) * 100 / logLength));
    }
    // The checksum of the log's sectors [from, to), from < to <= slots.
    auto crcOfRun = [&](std::size_t from, std::size_t to) {
        return crcBefore[to] ^ multiplyModP(shiftFor(static_cast<std::uint64_t>(to - from) * kSector), crcBefore[from]);
    };

    // A valid entry at each 4 KiB slot of the circular log, if any. In a
    // log as written, valid entries never share a byte, so their
    // descriptors number at most one per 32 bytes of the log: beyond twice
    // that, the log was made to be slow, and is refused as damaged.
    const std::uint64_t workLimit = 2 * (static_cast<std::uint64_t>(logLength) / kDescriptorSize + slots);
    std::uint64_t work = 0;
    std::vector<std::optional<Entry>> entries(slots);
    std::array<std::uint8_t, kSector> first{};
    for (std::size_t slot = 0; slot < slots; ++slot) {
        const std::uint64_t position = static_cast<std::uint64_t>(slot) * kSector;
        const ByteReader head(log.data() + position, kSector, kErrOpenDisk, where);
        if (!signatureIs(head, kEntrySignature, "loge")) continue;
        Entry e;
        e.position = position;
        e.length = head.u32(kEntryLength);
        e.tail = head.u32(kEntryTail);
        e.sequence = head.u64(kEntrySequence);
        e.lastFileOffset = head.u64(kEntryLastFileOffset);
        e.descriptors = head.u32(kEntryDescriptorCount);
        if (e.length == 0 || e.length % kSector != 0 || e.length > logLength) continue;
        if (e.tail % kSector != 0 || e.tail >= logLength) continue;
        if (std::memcmp(head.data() + kEntryLogGuid, logGuid, 16) != 0) continue;
        // The checksum covers the entry with its own checksum field zeroed:
        // the first sector as it is, then the rest of the entry (which may
        // wrap around the end of the log).
        std::memcpy(first.data(), head.data(), kSector);
        std::memset(first.data() + kEntryChecksum, 0, 4);
        std::uint32_t crc = crc32c(first.data(), kSector);
        const std::size_t restSectors = e.length / kSector - 1;
        if (restSectors > 0) {
            const std::size_t from = slot + 1 == slots ? 0 : slot + 1;
            const std::size_t tillEnd = slots - from;
            const std::uint32_t rest =
                restSectors <= tillEnd ? crcOfRun(from, from + restSectors)
                                       : crc32cCombine(crcOfRun(from, slots), crcOfRun(0, restSectors - tillEnd),
                                                       static_cast<std::uint64_t>(restSectors - tillEnd) * kSector);
            crc = crc32cCombine(crc, rest, static_cast<std::uint64_t>(restSectors) * kSector);
        }
        if (crc != head.u32(kEntryChecksum)) continue;
        if (!descriptorsValid(EntryBytes(log, position), e, work)) continue;
        if (work > workLimit) throw SourceError(kErrOpenDisk, "the VHDX log is damaged (its valid entries overlap)");
        entries[slot] = e;
    }

    // The active sequence: entries following each other with sequence
    // numbers one apart, the one ending highest whose last entry's tail
    // starts a run of the sequence that reaches it. Each entry has at most
    // one successor, so the last entry each one leads to is found once for
    // all (sequence numbers only grow along a run: it never loops).
    constexpr std::size_t kNone = SIZE_MAX;
    auto successor = [&](std::size_t slot) -> std::size_t {
        const Entry& e = *entries[slot];
        const std::size_t next = static_cast<std::size_t>(((e.position + e.length) % logLength) / kSector);
        if (!entries[next] || e.sequence == UINT64_MAX || entries[next]->sequence != e.sequence + 1) return kNone;
        return next;
    };
    std::vector<std::size_t> lastOf(slots, kNone);
    std::vector<std::size_t> path;
    for (std::size_t slot = 0; slot < slots; ++slot) {
        if (!entries[slot] || lastOf[slot] != kNone) continue;
        path.clear();
        std::size_t at = slot;
        std::size_t last = kNone;
        while (path.size() <= slots) {
            path.push_back(at);
            const std::size_t next = successor(at);
            if (next == kNone) {
                last = at;
                break;
            }
            if (lastOf[next] != kNone) {
                last = lastOf[next];
                break;
            }
            at = next;
        }
        if (last == kNone) throw SourceError(kErrOpenDisk, "the VHDX log is damaged (its sequence loops)");
        for (std::size_t s : path) lastOf[s] = last;
    }
    std::size_t bestTail = kNone;
    std::uint64_t bestLast = 0;
    for (std::size_t slot = 0; slot < slots; ++slot) {
        if (!entries[slot] || lastOf[slot] != slot) continue;  // not the end of a run
        const std::size_t tail = entries[slot]->tail / kSector;
        if (!entries[tail] || lastOf[tail] != slot) continue;
        if (bestTail == kNone || entries[slot]->sequence > bestLast) {
            bestTail = tail;
            bestLast = entries[slot]->sequence;
        }
    }
    // No valid sequence: nothing was left to replay (as qemu reads it too).
    if (bestTail == kNone) return;

    std::uint64_t sectors = 0;
    for (std::size_t slot = bestTail; slot != kNone; slot = lastOf[slot] == slot ? kNone : successor(slot)) {
        const Entry& e = *entries[slot];
        const EntryBytes bytes(log, e.position);
        std::uint64_t dataSector =
            (kEntryHeaderSize + static_cast<std::uint64_t>(e.descriptors) * kDescriptorSize + kSector - 1) / kSector;
        for (std::uint64_t d = 0; d < e.descriptors; ++d) {
            const auto [r, at] = bytes.field(kEntryHeaderSize + d * kDescriptorSize);
            const std::uint64_t target = r.u64(at + kDescriptorFileOffset);
            if (signatureIs(r, at + kDescriptorSignature, "desc")) {
                // The sector as written: 8 leading bytes from the
                // descriptor, 4084 from the data sector, 4 trailing.
                std::vector<std::uint8_t> sector(kSector);
                const ByteReader data = bytes.sector(dataSector++);
                std::memcpy(sector.data(), r.data() + at + kDescLeadingBytes, 8);
                std::memcpy(sector.data() + 8, data.data() + 8, kSector - 12);
                std::memcpy(sector.data() + kSector - 4, r.data() + at + kDescTrailingBytes, 4);
                sectors_[target] = std::move(sector);
                ++sectors;
            } else {
                const std::uint64_t length = r.u64(at + kZeroLength);
                if (length / kSector > kMaxSectors - std::min(sectors, kMaxSectors)) {
                    throw SourceError(kErrOpenDisk, "the VHDX log zeroes more than it can hold (damaged log)");
                }
                for (std::uint64_t z = 0; z < length; z += kSector) sectors_[target + z].clear();
                sectors += length / kSector;
            }
            if (sectors > kMaxSectors) throw SourceError(kErrOpenDisk, "the VHDX log is too large (damaged log)");
        }
        lastFileOffset_ = std::max(lastFileOffset_, e.lastFileOffset);
        ++entries_;
    }
}

void VhdxLog::apply(std::uint8_t* buffer, std::size_t length, std::uint64_t offset) const {
    if (sectors_.empty() || length == 0) return;
    const std::uint64_t end = offset + length;
    for (auto it = sectors_.lower_bound(offset - offset % kSector); it != sectors_.end() && it->first < end; ++it) {
        const std::uint64_t from = std::max(offset, it->first);
        const std::uint64_t to = std::min(end, it->first + kSector);
        if (from >= to) continue;
        std::uint8_t* dst = buffer + (from - offset);
        if (it->second.empty()) {
            std::memset(dst, 0, static_cast<std::size_t>(to - from));
        } else {
            std::memcpy(dst, it->second.data() + (from - it->first), static_cast<std::size_t>(to - from));
        }
    }
}

} // namespace resurgo
