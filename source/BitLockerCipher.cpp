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

} // namespace

// One thread's cipher state: the sector cipher in each direction (made on
// first use), the AES-ECB contexts that make CBC IVs and diffuser sector
// keys, and room for a batch of those.
struct BitLockerCipher::Lane {
    Ctx sector[2];  // decrypting, encrypting
    Ctx iv;
    Ctx tweak;
    std::uint8_t ivs[kBatch * 16];
    std::uint8_t sectorKeys[kBatch * kSectorKeyBytes];
    ~Lane() {
        OPENSSL_cleanse(ivs, sizeof ivs);
        OPENSSL_cleanse(sectorKeys, sizeof sectorKeys);
    }
};

void BitLockerCipher::LaneFree::operator()(Lane* lane) const { delete lane; }

BitLockerCipher::LanePtr BitLockerCipher::newLane() const {
    const bool xts = method_ == M::kAesXts128 || method_ == M::kAesXts256;
    const bool wide = key_.size() == 32;
    const EVP_CIPHER* ecb = wide ? EVP_aes_256_ecb() : EVP_aes_128_ecb();
    LanePtr lane(new Lane());
    lane->sector[0] = newCtx(xts ? (method_ == M::kAesXts128 ? EVP_aes_128_xts() : EVP_aes_256_xts())
                                 : (wide ? EVP_aes_256_cbc() : EVP_aes_128_cbc()),
                             key_, true);
    if (!xts) lane->iv = newCtx(ecb, key_, false);
    if (!tweak_.empty()) lane->tweak = newCtx(ecb, tweak_, false);
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

void BitLockerCipher::run(std::uint8_t* data, std::size_t length, std::uint64_t offset, bool decrypting) const {
    LanePtr lane = takeLane();
    Ctx& sectorCtx = lane->sector[decrypting ? 0 : 1];
    if (!sectorCtx) {
        // Only the bench's encrypted copies encrypt: the context is made
        // like the decrypting one, in the other direction.
        EVP_CIPHER_CTX* model = lane->sector[0].get();
        sectorCtx = newCtx(EVP_CIPHER_CTX_get0_cipher(model), key_, false);
    }
    const std::size_t count = length / sectorSize_;
    std::uint8_t iv[16];
    for (std::size_t first = 0; first < count; first += kBatch) {
        const std::size_t n = std::min(kBatch, count - first);
        std::uint8_t* batch = data + first * sectorSize_;
        const std::uint64_t byte = offset + static_cast<std::uint64_t>(first) * sectorSize_;
        if (!lane->iv) {  // XTS: the tweak is the sector number
            for (std::size_t i = 0; i < n; ++i) {
                counterBlock(iv, byte / sectorSize_ + i);
                apply(sectorCtx.get(), iv, batch + i * sectorSize_, sectorSize_);
            }
            continue;
        }
        // CBC: each sector's IV (and sector key) encrypts its byte offset;
        // the batch's are made in one call.
        for (std::size_t i = 0; i < n; ++i) counterBlock(lane->ivs + 16 * i, byte + i * sectorSize_);
        apply(lane->iv.get(), nullptr, lane->ivs, 16 * n);
        if (lane->tweak) {
            for (std::size_t i = 0; i < n; ++i) {
                std::uint8_t* k = lane->sectorKeys + kSectorKeyBytes * i;
                counterBlock(k, byte + i * sectorSize_);
                counterBlock(k + 16, byte + i * sectorSize_);
                k[kSectorKeyBytes - 1] = 0x80;
            }
            apply(lane->tweak.get(), nullptr, lane->sectorKeys, kSectorKeyBytes * n);
        }
        for (std::size_t i = 0; i < n; ++i) {
            std::uint8_t* sector = batch + i * sectorSize_;
            const std::uint8_t* sectorKey = lane->sectorKeys + kSectorKeyBytes * i;
            if (decrypting) {
                apply(sectorCtx.get(), lane->ivs + 16 * i, sector, sectorSize_);
                if (lane->tweak) unmix(sector, sectorSize_, sectorKey);
            } else {
                if (lane->tweak) mix(sector, sectorSize_, sectorKey);
                apply(sectorCtx.get(), lane->ivs + 16 * i, sector, sectorSize_);
            }
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
