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

// Descriptors (32 bytes each, after the entry header).
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

bool signatureIs(const ByteReader& r, std::size_t offset, const char* text) {
    r.require(offset, 4);
    return std::memcmp(r.data() + offset, text, 4) == 0;
}

struct Entry {
    std::uint64_t position = 0;  // in the log
    std::uint32_t length = 0;
    std::uint32_t tail = 0;
    std::uint64_t sequence = 0;
    std::uint64_t lastFileOffset = 0;
    std::vector<std::uint8_t> bytes;
};

} // namespace

std::uint32_t VhdxLog::crc32c(const std::uint8_t* data, std::size_t length) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

VhdxLog::VhdxLog(Source& file) {
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
    const std::uint8_t* logGuid = header.data() + kHeaderLogGuid;
    header.require(kHeaderLogGuid, 16);
    if (std::all_of(logGuid, logGuid + 16, [](std::uint8_t b) { return b == 0; })) return;  // nothing logged

    const std::uint64_t logOffset = header.u64(kHeaderLogOffset);
    const std::uint32_t logLength = header.u32(kHeaderLogLength);
    if (logLength == 0 || logLength % kSector != 0 || logOffset % kSector != 0 || logLength > (256u << 20)) {
        throw SourceError(kErrOpenDisk, "the VHDX log region is damaged (offset " + std::to_string(logOffset) +
                                            ", length " + std::to_string(logLength) + ")");
    }
    std::vector<std::uint8_t> log(logLength, 0);
    if (file.readAt(log.data(), log.size(), logOffset, where) != log.size()) {
        throw SourceError(kErrOpenDisk, "the VHDX log lies past the end of the file (cut short?)");
    }
    const std::size_t slots = logLength / kSector;

    // A valid entry at each 4 KiB slot of the circular log, if any.
    std::vector<std::optional<Entry>> entries(slots);
    for (std::size_t slot = 0; slot < slots; ++slot) {
        const std::uint64_t position = static_cast<std::uint64_t>(slot) * kSector;
        ByteReader first(log.data() + position, kSector, kErrOpenDisk, where);
        if (!signatureIs(first, kEntrySignature, "loge")) continue;
        const std::uint32_t length = first.u32(kEntryLength);
        if (length == 0 || length % kSector != 0 || length > logLength) continue;
        if (std::memcmp(first.data() + kEntryLogGuid, logGuid, 16) != 0) continue;
        Entry e;
        e.position = position;
        e.length = length;
        e.tail = first.u32(kEntryTail);
        e.sequence = first.u64(kEntrySequence);
        e.lastFileOffset = first.u64(kEntryLastFileOffset);
        e.bytes.resize(length);
        for (std::uint32_t i = 0; i < length; i += kSector) {
            std::memcpy(e.bytes.data() + i, log.data() + (position + i) % logLength, kSector);
        }
        const std::uint32_t sum = first.u32(kEntryChecksum);
        std::memset(e.bytes.data() + kEntryChecksum, 0, 4);
        if (crc32c(e.bytes.data(), e.bytes.size()) != sum) continue;
        ByteReader r(e.bytes.data(), e.bytes.size(), kErrOpenDisk, where);
        const std::uint64_t count = r.u32(kEntryDescriptorCount);
        const std::uint64_t descriptorSectors = (kEntryHeaderSize + count * kDescriptorSize + kSector - 1) / kSector;
        if (descriptorSectors * kSector > length || e.tail % kSector != 0 || e.tail >= logLength) continue;
        // Every descriptor well formed and every data sector in its place.
        bool valid = true;
        std::uint64_t dataSector = descriptorSectors;
        for (std::uint64_t d = 0; d < count && valid; ++d) {
            const std::size_t at = kEntryHeaderSize + static_cast<std::size_t>(d) * kDescriptorSize;
            if (signatureIs(r, at + kDescriptorSignature, "desc")) {
                if ((dataSector + 1) * kSector > length || r.u64(at + kDescriptorSequence) != e.sequence) {
                    valid = false;
                    break;
                }
                const std::size_t data = static_cast<std::size_t>(dataSector++ * kSector);
                const std::uint64_t seq = (static_cast<std::uint64_t>(r.u32(data + kDataSequenceHigh)) << 32) |
                                          r.u32(data + kDataSequenceLow);
                valid = signatureIs(r, data + kDataSignature, "data") && seq == e.sequence &&
                        r.u64(at + kDescriptorFileOffset) % kSector == 0;
            } else if (signatureIs(r, at + kDescriptorSignature, "zero")) {
                valid = r.u64(at + kDescriptorSequence) == e.sequence &&
                        r.u64(at + kDescriptorFileOffset) % kSector == 0 && r.u64(at + kZeroLength) % kSector == 0;
            } else {
                valid = false;
            }
        }
        if (valid) entries[slot] = std::move(e);
    }

    // The active sequence: entries following each other with sequence
    // numbers one apart, the one ending highest whose last entry's tail
    // lies inside it. Its entries from the tail on are replayed in order.
    std::vector<std::size_t> best;
    std::uint64_t bestLast = 0;
    for (std::size_t start = 0; start < slots; ++start) {
        if (!entries[start]) continue;
        std::vector<std::size_t> chain{start};
        std::size_t slot = start;
        while (chain.size() < slots) {
            const Entry& e = *entries[slot];
            const std::size_t next = static_cast<std::size_t>(((e.position + e.length) % logLength) / kSector);
            if (!entries[next] || entries[next]->sequence != e.sequence + 1) break;
            chain.push_back(slot = next);
        }
        const Entry& head = *entries[chain.back()];
        auto tail = std::find_if(chain.begin(), chain.end(),
                                 [&](std::size_t s) { return entries[s]->position == head.tail; });
        if (tail == chain.end()) continue;
        if (best.empty() || head.sequence > bestLast) {
            best.assign(tail, chain.end());
            bestLast = head.sequence;
        }
    }
    // No valid sequence: nothing was left to replay (as qemu reads it too).
    if (best.empty()) return;

    std::uint64_t sectors = 0;
    for (std::size_t slot : best) {
        const Entry& e = *entries[slot];
        ByteReader r(e.bytes.data(), e.bytes.size(), kErrOpenDisk, where);
        const std::uint32_t count = r.u32(kEntryDescriptorCount);
        std::uint64_t dataSector = (kEntryHeaderSize + static_cast<std::uint64_t>(count) * kDescriptorSize + kSector - 1) / kSector;
        for (std::uint32_t d = 0; d < count; ++d) {
            const std::size_t at = kEntryHeaderSize + static_cast<std::size_t>(d) * kDescriptorSize;
            const std::uint64_t target = r.u64(at + kDescriptorFileOffset);
            if (signatureIs(r, at + kDescriptorSignature, "desc")) {
                // The sector as written: 8 leading bytes from the
                // descriptor, 4084 from the data sector, 4 trailing.
                std::vector<std::uint8_t> sector(kSector);
                const std::size_t data = static_cast<std::size_t>(dataSector++ * kSector);
                std::memcpy(sector.data(), r.data() + at + kDescLeadingBytes, 8);
                std::memcpy(sector.data() + 8, r.data() + data + 8, kSector - 12);
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
