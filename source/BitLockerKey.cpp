#include "source/BitLockerKey.h"

#include <algorithm>
#include <cstring>

#include "core/ErrorException.h"
#include "core/TextUtf.h"

#if defined(RESURGO_HAVE_BITLOCKER)
// The stretch runs SHA-256 a million times over 88 bytes: the low-level
// calls skip the one-shot digest's per-call fetch and context allocation.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#endif

namespace resurgo {

namespace {

// The stretching loop's state, hashed whole each round: the last hash,
// the initial hash, the salt and the round counter (little-endian).
constexpr std::size_t kLastHash = 0;
constexpr std::size_t kInitialHash = 32;
constexpr std::size_t kSalt = 64;
constexpr std::size_t kCounter = 80;
constexpr std::size_t kStretchState = 88;
constexpr std::uint64_t kStretchRounds = 0x100000;

// An unsealed key is itself a key entry: {size, type, value type 1,
// version, method (u32)} then the key bytes.
constexpr std::size_t kKeyEntryBytes = 12;
constexpr std::size_t kKeyEntryValueType = 4;
constexpr std::size_t kMac = 16;
constexpr std::size_t kVmkBytes = 32;

// A recovery password: eight groups whose value / 11 is one 16-bit word.
constexpr unsigned kGroups = 8;
constexpr unsigned kGroupDigits = 6;
constexpr std::uint32_t kGroupLimit = 720896;  // 65536 * 11

} // namespace

bool BitLockerKey::recoveryKey(const std::string& text, std::array<std::uint8_t, 16>& key) {
    SecretBytes bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return recoveryKey(bytes, key);
}

bool BitLockerKey::recoveryKey(const SecretBytes& text, std::array<std::uint8_t, 16>& key) {
    unsigned group = 0;
    unsigned digits = 0;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? static_cast<char>(text.data()[i]) : '\0';
        if (c >= '0' && c <= '9') {
            if (digits == kGroupDigits || group == kGroups) return false;
            value = value * 10 + static_cast<std::uint32_t>(c - '0');
            ++digits;
            if (digits < kGroupDigits) continue;
        } else if (c != '-' && c != '\0') {
            return false;
        }
        if (digits == kGroupDigits) {
            if (value % 11 != 0 || value >= kGroupLimit) return false;
            const std::uint32_t word = value / 11;
            key[std::size_t{group} * 2] = static_cast<std::uint8_t>(word & 0xff);
            key[std::size_t{group} * 2 + 1] = static_cast<std::uint8_t>(word >> 8);
            ++group;
            digits = 0;
            value = 0;
        } else if (digits != 0) {
            return false;  // a dash inside a group
        }
    }
    return group == kGroups;
}

#if defined(RESURGO_HAVE_BITLOCKER)

SecretBytes BitLockerKey::stretch(const std::uint8_t* hash, const std::vector<std::uint8_t>& salt) {
    SecretBytes state(kStretchState);
    std::uint8_t* s = state.data();
    std::memcpy(s + kInitialHash, hash, 32);
    std::memcpy(s + kSalt, salt.data(), std::min<std::size_t>(salt.size(), 16));
    SHA256_CTX ctx;
    for (std::uint64_t round = 0; round < kStretchRounds; ++round) {
        for (int b = 0; b < 8; ++b) s[kCounter + b] = static_cast<std::uint8_t>(round >> (8 * b));
        SHA256_Init(&ctx);
        SHA256_Update(&ctx, s, kStretchState);
        SHA256_Final(s + kLastHash, &ctx);
    }
    OPENSSL_cleanse(&ctx, sizeof ctx);
    return SecretBytes(s + kLastHash, 32);
}

SecretBytes BitLockerKey::unseal(const SecretBytes& key, const BitLockerMetadata::SealedKey& sealed) {
    if (key.size() != 32 || sealed.sealed.size() <= kMac + kKeyEntryBytes) return SecretBytes();
    const std::size_t length = sealed.sealed.size() - kMac;
    SecretBytes plain(length);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr) return SecretBytes();
    int out = 0;
    std::uint8_t mac[kMac];
    std::memcpy(mac, sealed.sealed.data(), kMac);
    const bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_ccm(), nullptr, nullptr, nullptr) == 1 &&
                    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_CCM_SET_IVLEN, 12, nullptr) == 1 &&
                    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_CCM_SET_TAG, kMac, mac) == 1 &&
                    EVP_DecryptInit_ex(ctx, nullptr, nullptr, key.data(), sealed.nonce.data()) == 1 &&
                    EVP_DecryptUpdate(ctx, plain.data(), &out, sealed.sealed.data() + kMac,
                                      static_cast<int>(length)) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) return SecretBytes();
    const std::uint16_t size = static_cast<std::uint16_t>(plain.data()[0] | plain.data()[1] << 8);
    const std::uint16_t valueType =
        static_cast<std::uint16_t>(plain.data()[kKeyEntryValueType] | plain.data()[kKeyEntryValueType + 1] << 8);
    if (valueType != 1 || size <= kKeyEntryBytes || size > length) return SecretBytes();
    return SecretBytes(plain.data() + kKeyEntryBytes, size - kKeyEntryBytes);
}

namespace {

// The hash a password or recovery password is stretched from.
SecretBytes initialHash(const BitLockerSecret& secret, bool& wellFormed) {
    SecretBytes first(32);
    SecretBytes second(32);
    wellFormed = true;
    if (secret.kind == BitLockerSecret::Kind::RecoveryPassword) {
        std::array<std::uint8_t, 16> key{};
        wellFormed = BitLockerKey::recoveryKey(secret.text, key);
        SHA256(key.data(), key.size(), second.data());
        OPENSSL_cleanse(key.data(), key.size());
        return second;
    }
    const std::string text(reinterpret_cast<const char*>(secret.text.data()), secret.text.size());
    std::u16string utf16 = TextUtf::toUtf16(text);
    SecretBytes le(utf16.size() * 2);
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        le.data()[2 * i] = static_cast<std::uint8_t>(utf16[i] & 0xff);
        le.data()[2 * i + 1] = static_cast<std::uint8_t>(utf16[i] >> 8);
    }
    OPENSSL_cleanse(&utf16[0], utf16.size() * 2);
    OPENSSL_cleanse(const_cast<char*>(text.data()), text.size());
    SHA256(le.data(), le.size(), first.data());
    SHA256(first.data(), first.size(), second.data());
    return second;
}

std::uint16_t protectionFor(BitLockerSecret::Kind kind) {
    switch (kind) {
    case BitLockerSecret::Kind::Password: return BitLockerMetadata::kPassword;
    case BitLockerSecret::Kind::RecoveryPassword: return BitLockerMetadata::kRecoveryPassword;
    case BitLockerSecret::Kind::KeyFile: return BitLockerMetadata::kStartupKey;
    default: return BitLockerMetadata::kClearKey;
    }
}

} // namespace

BitLockerKey::Result BitLockerKey::unlock(const BitLockerMetadata& m, const BitLockerSecret& secret,
                                          const SecretBytes& keyFileBytes) {
    Result result;
    const std::uint16_t wanted = protectionFor(secret.kind);
    const std::string has = "the volume has " + m.protectorList();
    const std::string named = " (" + has + ")";
    bool wellFormed = true;
    SecretBytes hash;
    BitLockerMetadata::StartupKey startup;
    if (secret.kind == BitLockerSecret::Kind::Password || secret.kind == BitLockerSecret::Kind::RecoveryPassword) {
        hash = initialHash(secret, wellFormed);
    } else if (secret.kind == BitLockerSecret::Kind::KeyFile) {
        try {
            startup = BitLockerMetadata::parseStartupKey(keyFileBytes.data(), keyFileBytes.size());
        } catch (const ErrorException&) {
            result.wrongSecret = true;
            result.failure = "wrong key file: it is not a BitLocker startup key file" + named;
            return result;
        }
    }
    if (!wellFormed) {
        result.wrongSecret = true;
        result.failure = "wrong recovery password: it is not 8 groups of 6 digits, each divisible by 11 and "
                         "below 720896" + named;
        return result;
    }
    bool any = false;
    for (const BitLockerMetadata::Protector& p : m.protectors) {
        if (p.protection != wanted || !p.vmk.present()) continue;
        any = true;
        SecretBytes key;
        if (wanted == BitLockerMetadata::kClearKey) {
            key = SecretBytes(p.clearKey.data(), p.clearKey.size());
        } else if (wanted == BitLockerMetadata::kStartupKey) {
            if (startup.guid != p.guid) continue;
            key = SecretBytes(startup.key.data(), startup.key.size());
        } else {
            key = stretch(hash.data(), p.salt);
        }
        SecretBytes vmk = unseal(key, p.vmk);
        if (vmk.size() < kVmkBytes) continue;
        if (vmk.size() > kVmkBytes) vmk = SecretBytes(vmk.data(), kVmkBytes);
        result.key = unseal(vmk, m.fvek);
        if (result.key.empty()) result.failure = "the full-volume key does not unseal with the volume master key "
                                                 "(the metadata is damaged)";
        return result;
    }
    if (secret.kind == BitLockerSecret::Kind::None) {
        result.failure =
            "BitLocker-encrypted NTFS volume; unlock it with --password, --recovery-password or --key-file" + named;
        return result;
    }
    result.wrongSecret = true;
    result.failure = std::string("wrong ") + secret.name() +
                     (any ? named : std::string(": the volume has no ") + secret.name() + " protector" + named);
    return result;
}

#else

SecretBytes BitLockerKey::stretch(const std::uint8_t*, const std::vector<std::uint8_t>&) { return SecretBytes(); }
SecretBytes BitLockerKey::unseal(const SecretBytes&, const BitLockerMetadata::SealedKey&) { return SecretBytes(); }
BitLockerKey::Result BitLockerKey::unlock(const BitLockerMetadata&, const BitLockerSecret&, const SecretBytes&) {
    Result result;
    result.failure = "BitLocker-encrypted volume; this build does not decrypt it: unlock it in Windows first";
    return result;
}

#endif

} // namespace resurgo
