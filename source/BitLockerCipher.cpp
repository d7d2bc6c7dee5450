#include "source/BitLockerCipher.h"

#include <cstring>
#include <memory>
#include <vector>

#include "core/ErrorException.h"
#include "source/BitLockerMetadata.h"

#if defined(RESURGO_HAVE_BITLOCKER)
#include <openssl/crypto.h>
#include <openssl/evp.h>
#endif

namespace resurgo {

namespace {

using M = BitLockerMetadata;

// The Elephant diffuser: rotations by word position, and passes.
constexpr int kRotationsA[4] = {9, 0, 13, 0};
constexpr int kRotationsB[4] = {0, 10, 0, 25};
constexpr int kCyclesA = 5;
constexpr int kCyclesB = 3;
// The diffuser's key sits after the cipher key's 32 bytes.
constexpr std::size_t kTweakKeyOffset = 32;

std::uint32_t rotl(std::uint32_t v, int n) { return n == 0 ? v : (v << n) | (v >> (32 - n)); }

std::uint32_t wordAt(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void putWord(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// One diffuser over a sector of n words (n a power of two): A reads words
// i-2 and i-5, B words i+2 and i+5; decryption adds forwards, encryption
// subtracts backwards.
void diffuse(std::uint32_t* w, std::size_t n, bool a, bool decrypting) {
    const int* rot = a ? kRotationsA : kRotationsB;
    const std::size_t mask = n - 1;
    const std::size_t d2 = a ? n - 2 : 2;
    const std::size_t d5 = a ? n - 5 : 5;
    const int cycles = a ? kCyclesA : kCyclesB;
    for (int c = 0; c < cycles; ++c) {
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t i = decrypting ? k : n - 1 - k;
            const std::uint32_t mix = w[(i + d2) & mask] ^ rotl(w[(i + d5) & mask], rot[i & 3]);
            w[i] = decrypting ? w[i] + mix : w[i] - mix;
        }
    }
}

// The diffusers over a sector's bytes, as little-endian words (used only where
// BitLocker volumes are decrypted).
[[maybe_unused]] void diffuseSector(std::uint8_t* sector, std::size_t bytes, bool decrypting, std::uint32_t* words) {
    const std::size_t n = bytes / 4;
    for (std::size_t i = 0; i < n; ++i) words[i] = wordAt(sector + 4 * i);
    if (decrypting) {
        diffuse(words, n, false, true);
        diffuse(words, n, true, true);
    } else {
        diffuse(words, n, true, false);
        diffuse(words, n, false, false);
    }
    for (std::size_t i = 0; i < n; ++i) putWord(sector + 4 * i, words[i]);
}

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
        sectorSize < 512 || (sectorSize & (sectorSize - 1)) != 0) {
        throw ErrorException(kErrNotSupported, "BitLockerCipher::BitLockerCipher <" + M::methodName(method) +
                                                   " with a key of " + std::to_string(key.size()) + " bytes>");
    }
    key_ = SecretBytes(key.data(), bytes);
    if (diffuser) tweak_ = SecretBytes(key.data() + kTweakKeyOffset, bytes);
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

void apply(EVP_CIPHER_CTX* ctx, const std::uint8_t* iv, std::uint8_t* data, std::size_t length) {
    int out = 0;
    if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, iv, -1) != 1 ||
        EVP_CipherUpdate(ctx, data, &out, data, static_cast<int>(length)) != 1) {
        throw ErrorException(kErrUnrecognized, "BitLockerCipher::run <the cipher failed>");
    }
}

void counterBlock(std::uint8_t* block, std::uint64_t value) {
    std::memset(block, 0, 16);
    for (int b = 0; b < 8; ++b) block[b] = static_cast<std::uint8_t>(value >> (8 * b));
}

} // namespace

void BitLockerCipher::run(std::uint8_t* data, std::size_t length, std::uint64_t offset, bool decrypting) const {
    const bool xts = method_ == M::kAesXts128 || method_ == M::kAesXts256;
    const bool wide = key_.size() == 32 && !xts;
    const EVP_CIPHER* cipher = xts ? (method_ == M::kAesXts128 ? EVP_aes_128_xts() : EVP_aes_256_xts())
                                   : (wide ? EVP_aes_256_cbc() : EVP_aes_128_cbc());
    const EVP_CIPHER* ecb = wide ? EVP_aes_256_ecb() : EVP_aes_128_ecb();
    Ctx sectorCtx = newCtx(cipher, key_, decrypting);
    Ctx ivCtx = xts ? Ctx() : newCtx(ecb, key_, false);
    Ctx tweakCtx = tweak_.empty() ? Ctx() : newCtx(ecb, tweak_, false);
    std::uint8_t iv[16];
    std::uint8_t sectorKey[32];
    std::vector<std::uint32_t> words(tweakCtx ? sectorSize_ / 4 : 0);
    for (std::size_t at = 0; at + sectorSize_ <= length; at += sectorSize_) {
        std::uint8_t* sector = data + at;
        const std::uint64_t byte = offset + at;
        if (xts) {
            counterBlock(iv, byte / sectorSize_);
            apply(sectorCtx.get(), iv, sector, sectorSize_);
            continue;
        }
        counterBlock(iv, byte);
        apply(ivCtx.get(), nullptr, iv, 16);
        if (tweakCtx) {
            counterBlock(sectorKey, byte);
            counterBlock(sectorKey + 16, byte);
            sectorKey[31] = 0x80;
            apply(tweakCtx.get(), nullptr, sectorKey, 32);
        }
        if (decrypting) apply(sectorCtx.get(), iv, sector, sectorSize_);
        if (tweakCtx && decrypting) {
            diffuseSector(sector, sectorSize_, true, words.data());
            for (std::size_t i = 0; i < sectorSize_; ++i) sector[i] ^= sectorKey[i % 32];
        } else if (tweakCtx) {
            for (std::size_t i = 0; i < sectorSize_; ++i) sector[i] ^= sectorKey[i % 32];
            diffuseSector(sector, sectorSize_, false, words.data());
        }
        if (!decrypting) apply(sectorCtx.get(), iv, sector, sectorSize_);
    }
    OPENSSL_cleanse(sectorKey, sizeof sectorKey);
}

#else

void BitLockerCipher::run(std::uint8_t*, std::size_t, std::uint64_t, bool) const {
    throw ErrorException(kErrNotSupported, "BitLockerCipher::run <no decryption in this build>");
}

#endif

} // namespace resurgo
