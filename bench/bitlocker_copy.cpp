// Makes a BitLocker-encrypted copy of a plain volume image, for the tests
// and the benchmarks: the key, the cipher and the metadata come from a
// BitLocker volume whose password is known (the template); the plain
// volume is encrypted sector by sector with that volume's key, its first
// sectors are kept encrypted where the metadata says, and the metadata
// blocks and the boot-sector copy are placed after the plain volume's end,
// where they overwrite nothing. The copy is then read back through the
// unlocking path and compared with the plain volume.
//
//   resurgo_bitlocker_copy TEMPLATE PASSWORD PLAIN OUT

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "core/ErrorException.h"
#include "source/BitLockerCipher.h"
#include "source/BitLockerKey.h"
#include "source/BitLockerMetadata.h"
#include "source/BitLockerSource.h"
#include "source/FileSource.h"

using namespace resurgo;

namespace {

constexpr std::uint64_t kArea = BitLockerMetadata::kMetadataArea;
constexpr std::size_t kChunk = 4 << 20;

void put64(std::uint8_t* p, std::uint64_t v) {
    for (int b = 0; b < 8; ++b) p[b] = static_cast<std::uint8_t>(v >> (8 * b));
}
std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t get32(const std::uint8_t* p) { return get16(p) | static_cast<std::uint32_t>(get16(p + 2)) << 16; }

// The template's metadata block, moved: its block header's offsets and the
// boot-sector copy entry (type 0x000f) point into the new layout.
std::vector<std::uint8_t> movedBlock(FileSource& from, std::uint64_t at, const std::uint64_t offsets[3],
                                     std::uint64_t headerOffset, std::uint64_t size) {
    std::vector<std::uint8_t> block(kArea);
    from.readExact(block.data(), block.size(), at, "bitlocker_copy");
    const std::size_t used = 64 + std::min<std::size_t>(get32(block.data() + 64), kArea - 64);
    std::fill(block.begin() + static_cast<std::ptrdiff_t>(used), block.end(), 0);
    put64(block.data() + 16, size);
    for (int i = 0; i < 3; ++i) put64(block.data() + 32 + 8 * i, offsets[i]);
    put64(block.data() + 56, headerOffset);
    for (std::size_t e = 64 + 48; e + 8 <= used;) {
        const std::uint16_t length = get16(block.data() + e);
        if (length < 8) break;
        if (get16(block.data() + e + 2) == 0x000f && get16(block.data() + e + 4) == 0x000f) {
            put64(block.data() + e + 8, headerOffset);
        }
        e += length;
    }
    return block;
}

bool sameAsPlain(const std::string& out, const BitLockerSecret& secret, FileSource& plain) {
    FileSource copy(out);
    const BitLockerMetadata m = BitLockerMetadata::read(copy);
    const BitLockerKey::Result key = BitLockerKey::unlock(m, secret);
    if (key.key.empty()) return false;
    BitLockerSource decrypted(copy, m, std::make_unique<BitLockerCipher>(m.method, key.key, m.sectorSize));
    std::vector<std::uint8_t> a(kChunk), b(kChunk);
    for (std::uint64_t at = 0; at < plain.size(); at += kChunk) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, plain.size() - at));
        plain.readExact(a.data(), n, at, "bitlocker_copy");
        decrypted.readExact(b.data(), n, at, "bitlocker_copy");
        if (std::memcmp(a.data(), b.data(), n) != 0) return false;
    }
    return true;
}

int copy(const char* templatePath, const char* password, const char* plainPath, const char* outPath) {
    FileSource tmpl(templatePath);
    const BitLockerMetadata m = BitLockerMetadata::read(tmpl);
    const BitLockerSecret secret = BitLockerSecret::of(BitLockerSecret::Kind::Password, password);
    const BitLockerKey::Result key = BitLockerKey::unlock(m, secret);
    if (key.key.empty() || m.toGo) {
        std::fprintf(stderr, "bitlocker_copy: the template does not unlock (%s)\n", key.failure.c_str());
        return 1;
    }
    const BitLockerCipher cipher(m.method, key.key, m.sectorSize);
    FileSource plain(plainPath);
    const std::uint64_t base = (plain.size() + kArea - 1) / kArea * kArea;
    const std::uint64_t offsets[3] = {base, base + kArea, base + 2 * kArea};
    const std::uint64_t headerOffset = base + 3 * kArea;
    const std::uint64_t size = headerOffset + kArea;
    std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
    std::vector<std::uint8_t> buffer(kChunk);
    // The first sectors: the template's BitLocker boot sectors, pointing
    // to the new metadata; the plain ones go encrypted to the copy.
    tmpl.readExact(buffer.data(), static_cast<std::size_t>(m.headerSize), 0, "bitlocker_copy");
    for (int i = 0; i < 3; ++i) put64(buffer.data() + 0xB0 + 8 * i, offsets[i]);
    out.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(m.headerSize));
    for (std::uint64_t at = m.headerSize; at < base; at += kChunk) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, base - at));
        std::fill(buffer.begin(), buffer.end(), 0);
        plain.readAt(buffer.data(), n, at, "bitlocker_copy");
        cipher.encrypt(buffer.data(), n, at);
        out.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(n));
    }
    for (std::uint64_t at : offsets) {
        const std::vector<std::uint8_t> block = movedBlock(tmpl, m.metadataOffsets[0], offsets, headerOffset, size);
        out.seekp(static_cast<std::streamoff>(at));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
    }
    std::vector<std::uint8_t> header(kArea, 0);
    plain.readExact(header.data(), static_cast<std::size_t>(m.headerSize), 0, "bitlocker_copy");
    cipher.encrypt(header.data(), header.size(), headerOffset);
    out.seekp(static_cast<std::streamoff>(headerOffset));
    out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    out.close();
    if (!out || !sameAsPlain(outPath, secret, plain)) {
        std::fprintf(stderr, "bitlocker_copy: the copy does not read back as the plain volume\n");
        return 1;
    }
    std::printf("%s: %s, %llu bytes, reads back as %s\n", outPath, BitLockerMetadata::methodName(m.method).c_str(),
                static_cast<unsigned long long>(size), plainPath);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: resurgo_bitlocker_copy TEMPLATE PASSWORD PLAIN OUT\n");
        return 2;
    }
    try {
        return copy(argv[1], argv[2], argv[3], argv[4]);
    } catch (const ErrorException& e) {
        std::fprintf(stderr, "bitlocker_copy: %s\n", e.diagnostic().c_str());
        return 1;
    }
}
