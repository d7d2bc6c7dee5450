#pragma once
// What the user gave to unlock a BitLocker volume: a password, a recovery
// password, the path of a startup key file, or nothing (a clear-key volume
// opens without one). The text is wiped when the secret goes.

#include <cstdint>
#include <string>

#include "core/SecretBytes.h"

namespace resurgo {

struct BitLockerSecret {
    enum class Kind { None, Password, RecoveryPassword, KeyFile };

    Kind kind = Kind::None;
    SecretBytes text;  // UTF-8, without a terminator

    static BitLockerSecret of(Kind kind, const std::string& value) {
        BitLockerSecret s;
        s.kind = kind;
        s.text = SecretBytes(reinterpret_cast<const std::uint8_t*>(value.data()), value.size());
        return s;
    }
    // "password", "recovery password", "key file" (for messages).
    const char* name() const {
        switch (kind) {
        case Kind::Password: return "password";
        case Kind::RecoveryPassword: return "recovery password";
        case Kind::KeyFile: return "key file";
        default: return "secret";
        }
    }
};

} // namespace resurgo
