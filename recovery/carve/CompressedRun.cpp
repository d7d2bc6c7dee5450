#include "recovery/carve/CompressedRun.h"

#include <algorithm>
#include <cstring>

#include "core/ErrorException.h"
#include "recovery/Lznt1.h"
#include "source/Source.h"

namespace resurgo {

namespace {

const char* const kDiagRead = "CompressedRun::decode";
constexpr std::uint16_t kCompressed = 0x8000;
constexpr std::uint16_t kSignatureMask = 0x7000;
constexpr std::uint16_t kSignature = 0x3000;
constexpr std::uint16_t kLengthMask = 0x0FFF;
// A stored chunk holds a whole 4096 bytes.
constexpr std::uint16_t kStoredWhole = 0x3FFF;
// The most a cluster holds, and so the most padding after a unit's chunks.
constexpr std::uint64_t kMaxClusterBytes = 4096;
constexpr std::size_t kWindowBytes = std::size_t{128} * 1024;

std::uint16_t headerAt(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

bool validHeader(std::uint16_t h) {
    return (h & kSignatureMask) == kSignature && ((h & kCompressed) != 0 || h == kStoredWhole);
}

// One chunk (header at p, bytes available): its output in out, the bytes
// produced (0: it does not decode); consumed gets its length with header.
std::size_t decodeChunk(const std::uint8_t* p, std::size_t bytes, std::uint8_t* out, std::size_t& consumed) {
    if (bytes < 3) return 0;
    const std::uint16_t h = headerAt(p);
    if (!validHeader(h)) return 0;
    const std::size_t length = static_cast<std::size_t>(h & kLengthMask) + 1;
    if (length > bytes - 2) return 0;
    consumed = 2 + length;
    if ((h & kCompressed) == 0) {
        std::memcpy(out, p + 2, CompressedRun::kChunkBytes);
        return CompressedRun::kChunkBytes;
    }
    return Lznt1::decompress(out, CompressedRun::kChunkBytes, p, consumed);
}

} // namespace

bool CompressedRun::begins(const std::uint8_t* head, std::size_t bytes) {
    if (bytes < 3) return false;
    const std::uint16_t h = headerAt(head);
    // A compressed chunk's first token can only be a literal.
    return validHeader(h) && ((h & kCompressed) == 0 || (head[2] & 1) == 0);
}

std::size_t CompressedRun::firstChunk(const std::uint8_t* head, std::size_t bytes, std::uint8_t* out) {
    std::size_t consumed = 0;
    return begins(head, bytes) ? decodeChunk(head, bytes, out, consumed) : 0;
}

const std::uint8_t* CompressedRun::fetch(std::uint64_t pos, std::size_t need) {
    if (pos > limit_ || need > limit_ - pos) return nullptr;
    if (pos >= windowPos_ && pos - windowPos_ + need <= windowBytes_) return window_.data() + (pos - windowPos_);
    const std::uint32_t unit = source_->sectorSize() > 1 ? source_->sectorSize() : 1;
    const std::uint64_t lead = (offset_ + pos) % unit;
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(window_.size(), limit_ - pos + lead) / unit * unit);
    std::size_t got = 0;
    try {
        got = want == 0 ? 0 : source_->readAt(window_.data(), want, offset_ + pos - lead, kDiagRead);
    } catch (const ErrorException&) {
        got = 0;
    }
    windowPos_ = pos - lead;
    windowBytes_ = got;
    if (got < lead + need) return nullptr;
    return window_.data() + lead;
}

bool CompressedRun::nextUnit(std::uint64_t pos, bool unitFull, std::uint64_t& next) {
    // Zeros up to the next unit's first cluster, within one cluster.
    const std::uint64_t last = (pos + kMaxClusterBytes - 1) / kMaxClusterBytes * kMaxClusterBytes;
    next = (pos + kPaddingStep - 1) / kPaddingStep * kPaddingStep;
    std::uint64_t zeroUpTo = pos;
    while (next <= last) {
        if (next > zeroUpTo) {
            const std::uint8_t* z = fetch(zeroUpTo, static_cast<std::size_t>(next - zeroUpTo));
            if (z == nullptr || std::any_of(z, z + (next - zeroUpTo), [](std::uint8_t b) { return b != 0; })) {
                return false;
            }
            zeroUpTo = next;
        }
        const std::uint8_t* h = fetch(next, 3);
        if ((next > pos || unitFull) && h != nullptr && begins(h, 3)) return true;
        next += kPaddingStep;
    }
    return false;
}

void CompressedRun::decode(Source& source, std::uint64_t offset, std::uint64_t limit) {
    out_.clear();
    chunks_.clear();
    source_ = &source;
    offset_ = offset;
    limit_ = limit;
    windowPos_ = 0;
    windowBytes_ = 0;
    // Kept from run to run: most runs end after a few chunks.
    if (window_.size() < kWindowBytes) window_.resize(kWindowBytes);
    std::uint8_t chunk[kChunkBytes];
    std::uint64_t pos = 0;
    std::uint64_t unitStart = 0;
    std::uint64_t unitOut = 0;
    while (out_.size() < kMaxRunBytes) {
        const std::uint8_t* p = fetch(pos, 2);
        if (p == nullptr) break;
        if (unitOut == kMaxUnitBytes || !validHeader(headerAt(p))) {
            // The unit's chunks end; the next unit follows its padding.
            std::uint64_t next = 0;
            if (chunks_.empty() || !nextUnit(pos, unitOut == kMaxUnitBytes, next)) break;
            pos = next;
            unitStart = pos;
            unitOut = 0;
            continue;
        }
        const std::size_t length = static_cast<std::size_t>(headerAt(p) & kLengthMask) + 3;
        const std::uint8_t* c = fetch(pos, length);
        if (c == nullptr || pos + length - unitStart > kMaxUnitBytes) break;
        std::size_t consumed = 0;
        const std::size_t n = decodeChunk(c, length, chunk, consumed);
        if (n == 0) break;
        out_.insert(out_.end(), chunk, chunk + n);
        chunks_.push_back({out_.size() - n, out_.size(), pos, pos + consumed});
        pos += consumed;
        unitOut += n;
        // A chunk short of 4096 bytes is the file's last.
        if (n < kChunkBytes) break;
    }
    source_ = nullptr;
}

std::uint64_t CompressedRun::stored(std::uint64_t decodedBytes) const {
    const auto it = std::lower_bound(chunks_.begin(), chunks_.end(), decodedBytes,
                                     [](const Chunk& c, std::uint64_t n) { return c.outEnd < n; });
    return it == chunks_.end() ? (chunks_.empty() ? 0 : chunks_.back().inEnd) : it->inEnd;
}

bool CompressedRun::startsChunk(std::uint64_t rel, std::uint64_t& outStart) const {
    const auto it = std::lower_bound(chunks_.begin(), chunks_.end(), rel,
                                     [](const Chunk& c, std::uint64_t r) { return c.inStart < r; });
    if (it == chunks_.end() || it->inStart != rel) return false;
    outStart = it->outStart;
    return true;
}

} // namespace resurgo
