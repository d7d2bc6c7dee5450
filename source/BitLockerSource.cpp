#include "source/BitLockerSource.h"

#include <algorithm>
#include <cstring>

namespace resurgo {

namespace {

constexpr std::size_t kBootBytes = 512;

// What a stretch of the volume is, up to where.
struct Region {
    enum Kind { Encrypted, Plain, Zeros, Relocated } kind;
    std::uint64_t end;
};

bool within(std::uint64_t x, std::uint64_t start, std::uint64_t length) {
    return x >= start && x - start < length;
}

Region regionAt(const BitLockerMetadata& m, std::uint64_t x) {
    if (x < m.headerSize) return {Region::Relocated, m.headerSize};
    std::uint64_t end = UINT64_MAX;
    for (std::uint64_t at : m.metadataOffsets) {
        if (within(x, at, BitLockerMetadata::kMetadataArea)) return {Region::Zeros, at + BitLockerMetadata::kMetadataArea};
        if (at > x) end = std::min(end, at);
    }
    if (m.headerSize > 0) {
        if (within(x, m.headerOffset, m.headerSize)) return {Region::Zeros, m.headerOffset + m.headerSize};
        if (m.headerOffset > x) end = std::min(end, m.headerOffset);
    }
    if (x >= m.volumeSize) return {Region::Plain, end};
    return {Region::Encrypted, std::min(end, m.volumeSize)};
}

} // namespace

BitLockerSource::BitLockerSource(Source& parent, const BitLockerMetadata& metadata,
                                 std::unique_ptr<BitLockerCipher> cipher)
    : parent_(parent), metadata_(metadata), cipher_(std::move(cipher)), unit_(cipher_->sectorSize()) {
    // A volume encrypted as it is written keeps its boot sectors' copy
    // in the clear: a boot record there is used as it stands.
    std::uint8_t sector[kBootBytes] = {};
    if (metadata_.headerSize >= kBootBytes &&
        parent_.readAt(sector, sizeof sector, metadata_.headerOffset, "BitLockerSource::BitLockerSource") ==
            sizeof sector) {
        plainHeader_ = sector[510] == 0x55 && sector[511] == 0xAA &&
                       (std::memcmp(sector + 3, "NTFS    ", 8) == 0 || std::memcmp(sector + 3, "MSDOS5.0", 8) == 0 ||
                        std::memcmp(sector + 3, "EXFAT   ", 8) == 0);
    }
}

BitLockerSource::~BitLockerSource() = default;

std::size_t BitLockerSource::readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) {
    const std::uint64_t total = size();
    if (offset >= total || length == 0) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, total - offset));
    auto* out = static_cast<std::uint8_t*>(buffer);
    // Whole sectors are decrypted straight into the caller's buffer; a
    // sector the range starts or ends inside goes through this one.
    std::uint8_t sector[BitLockerCipher::kMaxSectorSize];
    std::size_t done = 0;
    while (done < length) {
        const std::uint64_t x = offset + done;
        const std::size_t into = static_cast<std::size_t>(x % unit_);
        if (into == 0 && length - done >= unit_) {
            const std::size_t whole = (length - done) / unit_ * unit_;
            const std::size_t got = readSectors(out + done, whole, x, diagnostic);
            done += got;
            if (got < whole) break;
            continue;
        }
        const std::uint64_t start = x - into;
        const std::size_t span = static_cast<std::size_t>(std::min<std::uint64_t>(unit_, total - start));
        const std::size_t got = readSectors(sector, span, start, diagnostic);
        if (got <= into) break;
        const std::size_t n = std::min(length - done, got - into);
        std::memcpy(out + done, sector + into, n);
        done += n;
        if (got < span) break;
    }
    return done;
}

std::size_t BitLockerSource::readSectors(std::uint8_t* buffer, std::size_t length, std::uint64_t offset,
                                         const char* diagnostic) {
    std::size_t done = 0;
    while (done < length) {
        const std::uint64_t x = offset + done;
        const Region region = regionAt(metadata_, x);
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, region.end - x));
        std::uint8_t* p = buffer + done;
        std::size_t got = n;
        switch (region.kind) {
        case Region::Zeros: std::memset(p, 0, n); break;
        case Region::Plain: got = parent_.readAt(p, n, x, diagnostic); break;
        case Region::Encrypted:
            got = parent_.readAt(p, n, x, diagnostic);
            cipher_->decrypt(p, got - got % unit_, x);
            break;
        case Region::Relocated:
            got = parent_.readAt(p, n, metadata_.headerOffset + x, diagnostic);
            if (!plainHeader_) cipher_->decrypt(p, got - got % unit_, metadata_.headerOffset + x);
            break;
        }
        done += got;
        if (got < n) break;
    }
    return done;
}

} // namespace resurgo
