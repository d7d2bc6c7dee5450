#include "source/QcowMap.h"

#include <algorithm>
#include <cstring>

#include "core/ByteReader.h"
#include "source/Source.h"

namespace resurgo {

namespace {

// The QCOW2 header (big-endian fields).
constexpr std::size_t kHeaderBytes = 104;
constexpr std::size_t kMagic = 0;            // "QFI" 0xFB
constexpr std::size_t kVersion = 4;
constexpr std::size_t kClusterBits = 20;
constexpr std::size_t kSize = 24;
constexpr std::size_t kL1Size = 36;          // entries
constexpr std::size_t kL1Offset = 40;
constexpr std::size_t kIncompatible = 72;    // version 3
constexpr std::uint64_t kExtendedL2 = 1u << 4;
// Table entries: bits 9-55 hold a file offset; an L2 entry's bit 62 marks
// compressed data, its bit 0 (version 3) a cluster that reads as zeros.
constexpr std::uint64_t kOffsetMask = 0x00FFFFFFFFFFFE00ull;
constexpr std::uint64_t kCompressed = 1ull << 62;
constexpr std::uint64_t kZeroCluster = 1;
// qemu accepts cluster sizes of 512 bytes to 2 MiB.
constexpr std::uint32_t kMinClusterBits = 9;
constexpr std::uint32_t kMaxClusterBits = 21;

std::uint32_t be32(const ByteReader& r, std::size_t at) {
    r.require(at, 4);
    const std::uint8_t* p = r.data() + at;
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

std::uint64_t be64(const ByteReader& r, std::size_t at) {
    return (static_cast<std::uint64_t>(be32(r, at)) << 32) | be32(r, at + 4);
}

} // namespace

QcowMap QcowMap::whole(std::uint64_t length) {
    QcowMap map;
    map.claimed_ = length;
    return map;
}

QcowMap QcowMap::read(Source& file) {
    const char* where = "QcowMap::read";
    QcowMap map;
    const std::uint64_t fileBytes = file.size();
    std::uint8_t head[kHeaderBytes] = {};
    const std::size_t got = file.readAt(head, sizeof head, 0, where);
    const ByteReader h(head, got, kErrOpenDisk, where);
    if (got < 72 || std::memcmp(head + kMagic, "QFI\xFB", 4) != 0) return map;
    map.claimed_ = be64(h, kSize);
    const std::uint32_t version = be32(h, kVersion);
    const std::uint32_t clusterBits = be32(h, kClusterBits);
    if (version < 2 || version > 3 || clusterBits < kMinClusterBits || clusterBits > kMaxClusterBits) return map;
    if (version == 3 && (got < kIncompatible + 8 || (be64(h, kIncompatible) & kExtendedL2) != 0)) return map;

    const std::uint64_t cluster = 1ull << clusterBits;
    const std::uint64_t perL2 = cluster / 8;
    const std::uint64_t l1Span = cluster * perL2;  // disk bytes one L1 entry maps (at most 2^39)
    const std::uint64_t l1Needed = map.claimed_ / l1Span + (map.claimed_ % l1Span != 0);
    const std::uint64_t l1Entries = std::min<std::uint64_t>(be32(h, kL1Size), l1Needed);
    const std::uint64_t l1Offset = be64(h, kL1Offset);
    // Tables that don't lie inside the file: leave the image unmapped.
    if (l1Offset > fileBytes || l1Entries > (fileBytes - l1Offset) / 8) return map;

    std::vector<std::uint8_t> l1(static_cast<std::size_t>(l1Entries * 8));
    if (!l1.empty() && file.readAt(l1.data(), l1.size(), l1Offset, where) != l1.size()) return map;
    const ByteReader l1r(l1.data(), l1.size(), kErrOpenDisk, where);
    // The L2 tables of a real image are clusters of its own, so together no
    // larger than the file: more (tables shared or overlapping) is a
    // damaged image, read whole.
    std::uint64_t l2Budget = fileBytes;
    std::vector<std::uint8_t> l2(static_cast<std::size_t>(cluster));
    QcowMap found;
    found.claimed_ = map.claimed_;
    found.everything_ = false;
    for (std::uint64_t i = 0; i < l1Entries; ++i) {
        const std::uint64_t l2Offset = be64(l1r, static_cast<std::size_t>(i * 8)) & kOffsetMask;
        if (l2Offset == 0) continue;
        if (l2Offset > fileBytes || cluster > fileBytes - l2Offset || cluster > l2Budget) return map;
        l2Budget -= cluster;
        if (file.readAt(l2.data(), l2.size(), l2Offset, where) != l2.size()) return map;
        const ByteReader l2r(l2.data(), l2.size(), kErrOpenDisk, where);
        for (std::uint64_t k = 0; k < perL2; ++k) {
            const std::uint64_t entry = be64(l2r, static_cast<std::size_t>(k * 8));
            const bool stored = (entry & kCompressed) != 0 || ((entry & kOffsetMask) != 0 && (entry & kZeroCluster) == 0);
            if (!stored) continue;
            const std::uint64_t start = i * l1Span + k * cluster;
            if (start >= map.claimed_) break;
            found.append(start, map.claimed_ - start < cluster ? map.claimed_ : start + cluster);
        }
    }
    return found;
}

void QcowMap::append(std::uint64_t start, std::uint64_t end) {
    if (!ranges_.empty() && ranges_.back().second == start) {
        ranges_.back().second = end;
    } else {
        ranges_.emplace_back(start, end);
    }
}

void QcowMap::add(const QcowMap& other) {
    if (everything_) return;
    if (other.everything_) {
        everything_ = true;
        ranges_.clear();
        return;
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> all;
    all.reserve(ranges_.size() + other.ranges_.size());
    std::merge(ranges_.begin(), ranges_.end(), other.ranges_.begin(), other.ranges_.end(), std::back_inserter(all));
    ranges_.clear();
    for (const auto& [start, end] : all) {
        if (!ranges_.empty() && start <= ranges_.back().second) {
            ranges_.back().second = std::max(ranges_.back().second, end);
        } else {
            ranges_.emplace_back(start, end);
        }
    }
}

std::uint64_t QcowMap::storedFrom(std::uint64_t offset) const {
    if (everything_) return offset;
    auto it = std::upper_bound(ranges_.begin(), ranges_.end(), offset,
                               [](std::uint64_t at, const auto& range) { return at < range.second; });
    if (it == ranges_.end()) return UINT64_MAX;
    return std::max(offset, it->first);
}

std::uint64_t QcowMap::storedBytes() const {
    if (everything_) return claimed_;
    std::uint64_t total = 0;
    for (const auto& [start, end] : ranges_) total += end - start;
    return total;
}

} // namespace resurgo
