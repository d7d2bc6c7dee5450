#include "source/BitLockerCipher.h"

#include <algorithm>
#include <cstring>

#include "core/ErrorException.h"
#include "source/BitLockerMetadata.h"

#if defined(RESURGO_HAVE_BITLOCKER)
#include <openssl/crypto.h>
#include <openssl/evp.h>
#endif

namespace resurgo {

namespace {

using M = BitLockerMetadata;

// The diffuser's key sits after the cipher key's 32 bytes.
constexpr std::size_t kTweakKeyOffset = 32;

#if defined(RESURGO_HAVE_BITLOCKER)

// The Elephant diffuser: rotations by word position, and passes.
constexpr int kRotationsA[4] = {9, 0, 13, 0};
constexpr int kRotationsB[4] = {0, 10, 0, 25};
constexpr int kCyclesA = 5;
constexpr int kCyclesB = 3;
constexpr std::size_t kSectorKeyBytes = 32;
// Sectors whose IVs and sector keys are made in one cipher call.
constexpr std::size_t kBatch = 32;

std::uint32_t rotl(std::uint32_t v, int n) { return (v << n) | (v >> ((32 - n) & 31)); }

// The sector's i-th little-endian word, read and written in place.
std::uint32_t wordAt(const std::uint8_t* s, std::size_t i) {
    const std::uint8_t* p = s + 4 * i;
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void putWord(std::uint8_t* s, std::size_t i, std::uint32_t v) {
    std::uint8_t* p = s + 4 * i;
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// One diffuser over a sector of n words (n a power of two, at least 128):
// A reads words i-2 and i-5, B words i+2 and i+5; decryption adds going
// forwards, encryption subtracts going backwards.
template <bool kDecrypting>
void diffuse(std::uint8_t* s, std::size_t n, bool a) {
    const int* rot = a ? kRotationsA : kRotationsB;
    const std::size_t mask = n - 1;
    const std::size_t d2 = a ? n - 2 : 2;
    const std::size_t d5 = a ? n - 5 : 5;
    const int cycles = a ? kCyclesA : kCyclesB;
    for (int c = 0; c < cycles; ++c) {
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t i = kDecrypting ? k : n - 1 - k;
            const std::uint32_t mix = wordAt(s, (i + d2) & mask) ^ rotl(wordAt(s, (i + d5) & mask), rot[i & 3]);
            putWord(s, i, kDecrypting ? wordAt(s, i) + mix : wordAt(s, i) - mix);
        }
    }
}

// The sector key over the sector, word by word.
void mixKey(std::uint8_t* s, std::size_t n, const std::uint8_t* sectorKey) {
    std::uint32_t key[kSectorKeyBytes / 4];
    for (std::size_t j = 0; j < kSectorKeyBytes / 4; ++j) key[j] = wordAt(sectorKey, j);
    for (std::size_t i = 0; i < n; ++i) putWord(s, i, wordAt(s, i) ^ key[i % (kSectorKeyBytes / 4)]);
}

// Undoes (does) the diffuser layer of a sector just decrypted (about to
// be encrypted).
void unmix(std::uint8_t* s, std::size_t bytes, const std::uint8_t* sectorKey) {
    const std::size_t n = bytes / 4;
    diffuse<true>(s, n, false);
    diffuse<true>(s, n, true);
    mixKey(s, n, sectorKey);
}
void mix(std::uint8_t* s, std::size_t bytes, const std::uint8_t* sectorKey) {
    const std::size_t n = bytes / 4;
    mixKey(s, n, sectorKey);
    diffuse<false>(s, n, true);
    diffuse<false>(s, n, false);
}

#endif

std::size_t keyBytesFor(std::uint16_t method) {
    switch (method) {
    case M::kAesCbc128: case M::kAesCbc128Diffuser: return 16;
    case M::kAesCbc256: case M::kAesCbc256Diffuser: case M::kAesXts128: return 32;
    case M::kAesXts256: return 64;
    default: return 0;
    }
}

} // namespace

BitLockerCipher::BitLockerCipher(std::uint16_t method, const SecretBytes& key, std::uint32_t sectorSize)
    : method_(method), sectorSize_(sectorSize) {
    const std::size_t bytes = keyBytesFor(method);
    const bool diffuser = method == M::kAesCbc128Diffuser || method == M::kAesCbc256Diffuser;
    if (bytes == 0 || key.size() < bytes || (diffuser && key.size() < kTweakKeyOffset + bytes) ||
        sectorSize < 512 || sectorSize > kMaxSectorSize || (sectorSize & (sectorSize - 1)) != 0) {
        throw ErrorException(kErrNotSupported, "BitLockerCipher::BitLockerCipher <" + M::methodName(method) +
                                                   " with a key of " + std::to_string(key.size()) + " bytes>");
    }
    key_ = SecretBytes(key.data(), bytes);
    if (diffuser) tweak_ = SecretBytes(key.data() + kTweakKeyOffset, bytes);
#if defined(RESURGO_HAVE_BITLOCKER)
    giveBack(newLane());  // a key OpenSSL refuses fails here, not on the first read
#endif
}

BitLockerCipher::~BitLockerCipher() = default;

void BitLockerCipher::decrypt(std::uint8_t* data, std::size_t length, std::uint64_t offset) const {
    run(data, length, offset, true);
}

void BitLockerCipher::encrypt(std::uint8_t* data, std::size_t length, std::uint64_t offset) const {
    run(data, length, offset, false);
}

#if defined(RESURGO_HAVE_BITLOCKER)

namespace {

struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

Ctx newCtx(const EVP_CIPHER* cipher, const SecretBytes& key, bool decrypting) {
    Ctx ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), nullptr, decrypting ? 0 : 1) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
        throw ErrorException(kErrNoMemory, "BitLockerCipher::run <the cipher can't be set up>");
    }
    return ctx;
}

// Runs ctx over data in place, from iv when one is given (a new sector).
void apply(EVP_CIPHER_CTX* ctx, const std::uint8_t* iv, std::uint8_t* data, std::size_t length) {
    int out = 0;
    if ((iv != nullptr && EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, iv, -1) != 1) ||
        EVP_CipherUpdate(ctx, data, &out, data, static_cast<int>(length)) != 1) {
        throw ErrorException(kErrUnrecognized, "BitLockerCipher::run <the cipher failed>");
    }
}

void counterBlock(std::uint8_t* block, std::uint64_t value) {
    std::memset(block, 0, 16);
    for (int b = 0; b < 8; ++b) block[b] = static_cast<std::uint8_t>(value >> (8 * b));
}

// Little-endian 64-bit words, as one load or store on little-endian hosts.
std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}
void store64(std::uint8_t* p, std::uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    std::memcpy(p, &v, 8);
}

// to ^= from, over bytes (a multiple of 8).
void xorInto(std::uint8_t* to, const std::uint8_t* from, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; i += 8) {
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        std::memcpy(&a, to + i, 8);
        std::memcpy(&b, from + i, 8);
        a ^= b;
        std::memcpy(to + i, &a, 8);
    }
}

const EVP_CIPHER* ecbOf(std::size_t keyBytes) { return keyBytes == 32 ? EVP_aes_256_ecb() : EVP_aes_128_ecb(); }

} // namespace

// One thread's cipher state: AES-ECB with the data key (XTS: its first
// half) in each direction (the encrypting one made on first use; CBC
// encrypts sector by sector with a CBC context instead), the AES-ECB
// contexts that make CBC IVs, diffuser sector keys and XTS tweaks, and room
// for a batch of those and of a batch of sectors.
struct BitLockerCipher::Lane {
    Ctx sector[2];  // decrypting, encrypting
    Ctx iv;
    Ctx tweak;
    Ctx xtsTweak;
    std::uint8_t ivs[kBatch * 16];
    std::uint8_t sectorKeys[kBatch * kSectorKeyBytes];
    // XTS: the batch's tweak for every block; CBC: the batch's ciphertext.
    std::vector<std::uint8_t> scratch;
    ~Lane() {
        OPENSSL_cleanse(ivs, sizeof ivs);
        OPENSSL_cleanse(sectorKeys, sizeof sectorKeys);
        if (!scratch.empty()) OPENSSL_cleanse(scratch.data(), scratch.size());
    }
};

void BitLockerCipher::LaneFree::operator()(Lane* lane) const { delete lane; }

bool BitLockerCipher::xts() const { return method_ == M::kAesXts128 || method_ == M::kAesXts256; }

SecretBytes BitLockerCipher::dataKey() const {
    return xts() ? SecretBytes(key_.data(), key_.size() / 2) : SecretBytes(key_.data(), key_.size());
}

BitLockerCipher::LanePtr BitLockerCipher::newLane() const {
    LanePtr lane(new Lane());
    const SecretBytes data = dataKey();
    lane->sector[0] = newCtx(ecbOf(data.size()), data, true);
    if (xts()) {
        const SecretBytes second(key_.data() + data.size(), data.size());
        lane->xtsTweak = newCtx(ecbOf(second.size()), second, false);
    } else {
        lane->iv = newCtx(ecbOf(key_.size()), key_, false);
    }
    if (!tweak_.empty()) lane->tweak = newCtx(ecbOf(tweak_.size()), tweak_, false);
    lane->scratch.resize(kBatch * static_cast<std::size_t>(sectorSize_));
    return lane;
}

BitLockerCipher::LanePtr BitLockerCipher::takeLane() const {
    {
        std::lock_guard<std::mutex> guard(lanesLock_);
        if (!lanes_.empty()) {
            LanePtr lane = std::move(lanes_.back());
            lanes_.pop_back();
            return lane;
        }
    }
    return newLane();
}

void BitLockerCipher::giveBack(LanePtr lane) const {
    std::lock_guard<std::mutex> guard(lanesLock_);
    lanes_.push_back(std::move(lane));
}

void BitLockerCipher::xtsBatch(Lane& lane, bool decrypting, std::uint8_t* batch, std::size_t n,
                               std::uint64_t sector) const {
    // Each sector's first tweak is its number encrypted with the second
    // key; each next block's is the last times x in GF(2^128), little-endian.
    for (std::size_t i = 0; i < n; ++i) counterBlock(lane.ivs + 16 * i, sector + i);
    apply(lane.xtsTweak.get(), nullptr, lane.ivs, 16 * n);
    std::uint8_t* t = lane.scratch.data();
    const std::size_t blocks = sectorSize_ / 16;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t lo = load64(lane.ivs + 16 * i);
        std::uint64_t hi = load64(lane.ivs + 16 * i + 8);
        for (std::size_t b = 0; b < blocks; ++b, t += 16) {
            store64(t, lo);
            store64(t + 8, hi);
            const std::uint64_t carry = hi >> 63;
            hi = hi << 1 | lo >> 63;
            lo = lo << 1 ^ (carry * 0x87);
        }
    }
    // Whole sectors, no stealing: tweak, the block cipher, tweak.
    const std::size_t bytes = n * sectorSize_;
    xorInto(batch, lane.scratch.data(), bytes);
    apply(lane.sector[decrypting ? 0 : 1].get(), nullptr, batch, bytes);
    xorInto(batch, lane.scratch.data(), bytes);
}

void BitLockerCipher::cbcBatch(Lane& lane, bool decrypting, std::uint8_t* batch, std::size_t n,
                               std::uint64_t byte) const {
    // Each sector's IV (and sector key) encrypts its byte offset; the
    // batch's are made in one call.
    for (std::size_t i = 0; i < n; ++i) counterBlock(lane.ivs + 16 * i, byte + i * sectorSize_);
    apply(lane.iv.get(), nullptr, lane.ivs, 16 * n);
    if (lane.tweak) {
        for (std::size_t i = 0; i < n; ++i) {
            std::uint8_t* k = lane.sectorKeys + kSectorKeyBytes * i;
            counterBlock(k, byte + i * sectorSize_);
            counterBlock(k + 16, byte + i * sectorSize_);
            k[kSectorKeyBytes - 1] = 0x80;
        }
        apply(lane.tweak.get(), nullptr, lane.sectorKeys, kSectorKeyBytes * n);
    }
    if (decrypting) {
        // CBC decryption in one block cipher call: each block's plaintext
        // is its decryption xor the block before (the IV for the first).
        std::memcpy(lane.scratch.data(), batch, n * sectorSize_);
        apply(lane.sector[0].get(), nullptr, batch, n * sectorSize_);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint8_t* sector = batch + i * sectorSize_;
            xorInto(sector, lane.ivs + 16 * i, 16);
            xorInto(sector + 16, lane.scratch.data() + i * sectorSize_, sectorSize_ - 16);
            if (lane.tweak) unmix(sector, sectorSize_, lane.sectorKeys + kSectorKeyBytes * i);
        }
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t* sector = batch + i * sectorSize_;
        if (lane.tweak) mix(sector, sectorSize_, lane.sectorKeys + kSectorKeyBytes * i);
        apply(lane.sector[1].get(), lane.ivs + 16 * i, sector, sectorSize_);
    }
}

void BitLockerCipher::run(std::uint8_t* data, std::size_t length, std::uint64_t offset, bool decrypting) const {
    LanePtr lane = takeLane();
    if (!decrypting && !lane->sector[1]) {
        // Only the bench's encrypted copies encrypt.
        const SecretBytes key = dataKey();
        const bool wide = key.size() == 32;
        lane->sector[1] = newCtx(xts() ? ecbOf(key.size()) : (wide ? EVP_aes_256_cbc() : EVP_aes_128_cbc()), key, false);
    }
    const std::size_t count = length / sectorSize_;
    for (std::size_t first = 0; first < count; first += kBatch) {
        const std::size_t n = std::min(kBatch, count - first);
        std::uint8_t* batch = data + first * sectorSize_;
        const std::uint64_t byte = offset + static_cast<std::uint64_t>(first) * sectorSize_;
        if (xts()) {
            xtsBatch(*lane, decrypting, batch, n, byte / sectorSize_);
        } else {
            cbcBatch(*lane, decrypting, batch, n, byte);
        }
    }
    giveBack(std::move(lane));
}

#else

struct BitLockerCipher::Lane {};

void BitLockerCipher::LaneFree::operator()(Lane* lane) const { delete lane; }

void BitLockerCipher::run(std::uint8_t*, std::size_t, std::uint64_t, bool) const {
    throw ErrorException(kErrNotSupported, "BitLockerCipher::run <no decryption in this build>");
}

#endif

} // namespace resurgo
