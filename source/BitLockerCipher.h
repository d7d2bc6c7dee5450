#pragma once
// The sector cipher of a BitLocker volume, over OpenSSL's libcrypto:
// AES-CBC 128/256 (the IV is the sector's byte offset encrypted with the
// key), optionally with the Elephant diffuser (a sector key made with the
// tweak key, two diffusion passes over 32-bit words), and AES-XTS 128/256
// (the tweak is the sector number). Both are run as one AES-ECB call over a
// batch of sectors, the chaining (CBC) or tweaks (XTS) applied around it,
// so that a sector costs no cipher set-up. The cipher contexts are set up once
// and reused: a call takes a lane (contexts and scratch space) from a
// pool and gives it back, so several threads can read at once, each on
// its own lane, and no call allocates once the lanes exist.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/SecretBytes.h"

namespace resurgo {

class BitLockerCipher {
public:
    // method: a BitLockerMetadata::Method; key: the unsealed full-volume
    // key. Raises ErrorException kErrNotSupported for an unknown method or
    // a key too short for it or a sector size other than a power of two
    // from 512 to 4096 bytes.
    BitLockerCipher(std::uint16_t method, const SecretBytes& key, std::uint32_t sectorSize);
    ~BitLockerCipher();

    // Decrypts (encrypts) whole sectors in place; offset is the volume
    // byte of the first one, length a multiple of the sector size.
    void decrypt(std::uint8_t* data, std::size_t length, std::uint64_t offset) const;
    void encrypt(std::uint8_t* data, std::size_t length, std::uint64_t offset) const;

    std::uint32_t sectorSize() const { return sectorSize_; }

    // The largest sector a volume has.
    static constexpr std::uint32_t kMaxSectorSize = 4096;

private:
    struct Lane;
    struct LaneFree {
        void operator()(Lane* lane) const;
    };
    using LanePtr = std::unique_ptr<Lane, LaneFree>;

    void run(std::uint8_t* data, std::size_t length, std::uint64_t offset, bool decrypting) const;
    // n whole sectors in place, from the volume's sector number (XTS) or
    // byte offset (CBC) of the first.
    void xtsBatch(Lane& lane, bool decrypting, std::uint8_t* batch, std::size_t n, std::uint64_t sector) const;
    void cbcBatch(Lane& lane, bool decrypting, std::uint8_t* batch, std::size_t n, std::uint64_t byte) const;
    bool xts() const;
    // The key of the block cipher over the data (XTS: the first half).
    SecretBytes dataKey() const;
    LanePtr newLane() const;
    LanePtr takeLane() const;
    void giveBack(LanePtr lane) const;

    std::uint16_t method_;
    SecretBytes key_;    // the cipher's key (both halves for XTS)
    SecretBytes tweak_;  // the diffuser's sector-key key
    std::uint32_t sectorSize_;
    mutable std::mutex lanesLock_;
    mutable std::vector<LanePtr> lanes_;  // the idle lanes
};

} // namespace resurgo
