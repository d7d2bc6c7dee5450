#pragma once
// Unlocks a BitLocker volume's full-volume key: stretches a password or a
// recovery password into the key of its protector (SHA-256 chained over a
// salt), reads a startup key file, unseals the volume master key and then
// the full-volume key with AES-CCM. Every key buffer is wiped after use.

#include <array>
#include <cstdint>
#include <string>

#include "core/SecretBytes.h"
#include "source/BitLockerMetadata.h"
#include "source/BitLockerSecret.h"

namespace resurgo {

class BitLockerKey {
public:
    struct Result {
        SecretBytes key;       // the full-volume key (empty when not unlocked)
        std::string failure;   // why not, naming no secret ("" when unlocked)
        bool wrongSecret = false;  // the secret opened none of the protectors it could
    };

    // Tries secret on every protector that takes its kind (a clear-key
    // protector when the secret is None). keyFileBytes holds the startup
    // key file's content for a KeyFile secret.
    static Result unlock(const BitLockerMetadata& metadata, const BitLockerSecret& secret,
                         const SecretBytes& keyFileBytes = SecretBytes());

    // The 16-byte key of a 48-digit recovery password: eight groups of six
    // digits (dashes optional), each divisible by 11 and below 720896.
    // False for anything else.
    static bool recoveryKey(const std::string& text, std::array<std::uint8_t, 16>& key);
    static bool recoveryKey(const SecretBytes& text, std::array<std::uint8_t, 16>& key);

    // The key of a password or recovery-password protector: hash (32
    // bytes) chained through SHA-256 with salt 1,048,576 times.
    static SecretBytes stretch(const std::uint8_t* hash, const std::vector<std::uint8_t>& salt);
    // AES-CCM unsealing with a 32-byte key; empty when the MAC does not
    // match (a wrong key).
    static SecretBytes unseal(const SecretBytes& key, const BitLockerMetadata::SealedKey& sealed);
};

} // namespace resurgo
