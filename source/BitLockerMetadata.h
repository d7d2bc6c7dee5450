#pragma once
// The FVE metadata of a BitLocker volume: where the three copies of the
// metadata and the relocated boot sectors lie, how far the volume is
// encrypted, the cipher, and the key protectors with their wrapped volume
// master keys. Bytes in, values out: no cryptography here.
//
// On disk: the volume's first sector says "-FVE-FS-" at byte 3 (a To Go
// volume says "MSWIN4.1" and carries a marker GUID at byte 424) and gives
// the byte offsets of the three metadata blocks. Each block starts with a
// 64-byte block header ("-FVE-FS-", version 2) and a 48-byte metadata
// header, followed by entries of {size, type, value type, version, data};
// key entries nest further entries in their data.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace resurgo {

class Source;

class BitLockerMetadata {
public:
    // How a protector guards the volume master key (the VMK entry's
    // protection field).
    enum Protection : std::uint16_t {
        kClearKey = 0x0000,
        kTpm = 0x0100,
        kStartupKey = 0x0200,
        kTpmAndPin = 0x0500,
        kRecoveryPassword = 0x0800,
        kSmartCard = 0x1000,
        kPassword = 0x2000,
    };
    // The full-volume cipher.
    enum Method : std::uint16_t {
        kAesCbc128Diffuser = 0x8000,
        kAesCbc256Diffuser = 0x8001,
        kAesCbc128 = 0x8002,
        kAesCbc256 = 0x8003,
        kAesXts128 = 0x8004,
        kAesXts256 = 0x8005,
    };

    // A key sealed with AES-CCM: 12-byte nonce, then the 16-byte MAC and
    // the ciphertext as stored.
    struct SealedKey {
        std::array<std::uint8_t, 12> nonce{};
        std::vector<std::uint8_t> sealed;
        bool present() const { return !sealed.empty(); }
    };

    struct Protector {
        std::uint16_t protection = 0;
        std::array<std::uint8_t, 16> guid{};
        std::vector<std::uint8_t> salt;      // of the stretched key (password, recovery password)
        std::vector<std::uint8_t> clearKey;  // the key that opens a clear-key protector
        SealedKey vmk;                       // the volume master key
    };

    // A startup key file (.BEK): the protector's GUID and its 32-byte key.
    struct StartupKey {
        std::array<std::uint8_t, 16> guid{};
        std::vector<std::uint8_t> key;
    };

    // Whether a volume's first sector is a BitLocker one (either kind).
    static bool detect(const std::uint8_t* sector, std::size_t size);
    // Reads the first sector and the first metadata block that parses.
    // Raises SourceError (code 27) naming what is wrong when none does.
    static BitLockerMetadata read(Source& volume);
    // Parses one metadata block (block header, metadata header, entries).
    // Raises ErrorException kErrUnrecognized
    // "BitLockerMetadata::parseBlock <reason>".
    void parseBlock(const std::uint8_t* data, std::size_t size);
    // Parses a startup key file; raises kErrUnrecognized
    // "BitLockerMetadata::parseStartupKey <reason>" for anything else.
    static StartupKey parseStartupKey(const std::uint8_t* data, std::size_t size);

    // "a password and a recovery password" (for messages).
    std::string protectorList() const;
    static std::string protectionName(std::uint16_t protection);
    static std::string methodName(std::uint16_t method);
    static std::string guidText(const std::array<std::uint8_t, 16>& guid);

    bool toGo = false;
    std::uint32_t sectorSize = 512;
    std::array<std::uint64_t, 3> metadataOffsets{};
    std::uint64_t volumeSize = 0;          // bytes the block header says are encrypted
    std::uint64_t headerOffset = 0;        // where the volume's first sectors are kept, encrypted
    std::uint64_t headerSize = 0;          // how many bytes of them
    std::uint16_t method = 0;
    std::array<std::uint8_t, 16> volumeGuid{};
    std::string description;               // the volume's description entry (UTF-8)
    std::vector<Protector> protectors;
    SealedKey fvek;                        // the full-volume key, sealed with the VMK

    // Bytes each metadata block's area takes on the volume: read as zeros
    // once unlocked, as the system shows them.
    static constexpr std::uint64_t kMetadataArea = 64 * 1024;
};

} // namespace resurgo
