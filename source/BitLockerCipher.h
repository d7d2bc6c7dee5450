#pragma once
// The sector cipher of a BitLocker volume, over OpenSSL's libcrypto:
// AES-CBC 128/256 (the IV is the sector's byte offset encrypted with the
// key), optionally with the Elephant diffuser (a sector key made with the
// tweak key, two diffusion passes over 32-bit words), and AES-XTS 128/256
// (the tweak is the sector number). Safe to use from several threads: each
// call keeps its own cipher state.

#include <cstddef>
#include <cstdint>

#include "core/SecretBytes.h"

namespace resurgo {

class BitLockerCipher {
public:
    // method: a BitLockerMetadata::Method; key: the unsealed full-volume
    // key. Raises ErrorException kErrNotSupported for an unknown method or
    // a key too short for it.
    BitLockerCipher(std::uint16_t method, const SecretBytes& key, std::uint32_t sectorSize);
    ~BitLockerCipher();

    // Decrypts (encrypts) whole sectors in place; offset is the volume
    // byte of the first one, length a multiple of the sector size.
    void decrypt(std::uint8_t* data, std::size_t length, std::uint64_t offset) const;
    void encrypt(std::uint8_t* data, std::size_t length, std::uint64_t offset) const;

    std::uint32_t sectorSize() const { return sectorSize_; }

private:
    void run(std::uint8_t* data, std::size_t length, std::uint64_t offset, bool decrypting) const;

    std::uint16_t method_;
    SecretBytes key_;    // the cipher's key (both halves for XTS)
    SecretBytes tweak_;  // the diffuser's sector-key key
    std::uint32_t sectorSize_;
};

} // namespace resurgo
