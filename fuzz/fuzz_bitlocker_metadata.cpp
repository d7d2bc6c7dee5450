// BitLocker metadata through the parser: the bytes as a metadata block, as
// a startup key file, and as the start of a volume whose first sector
// points at them; whatever parses is then unlocked with a password and a
// key file (the parser must hand the key code nothing out of range).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/ErrorException.h"
#include "source/BitLockerKey.h"
#include "source/BitLockerMetadata.h"
#include "source/MemorySource.h"

using namespace resurgo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    BitLockerMetadata m;
    try {
        m.parseBlock(data, size);
        if (m.protectors.empty() || !m.fvek.present()) std::abort();
        SecretBytes keyFile(data, size);
        BitLockerKey::unlock(m, BitLockerSecret::of(BitLockerSecret::Kind::KeyFile, "k"), keyFile);
    } catch (const ErrorException& e) {
        if (e.code() != kErrUnrecognized) std::abort();
    }
    try {
        const BitLockerMetadata::StartupKey key = BitLockerMetadata::parseStartupKey(data, size);
        if (key.key.size() != 32) std::abort();
    } catch (const ErrorException& e) {
        if (e.code() != kErrUnrecognized) std::abort();
    }
    // A volume: a BitLocker first sector whose three metadata offsets all
    // point at the input (at 4 KiB).
    std::vector<std::uint8_t> volume(4096 + size);
    std::memcpy(volume.data() + 3, "-FVE-FS-", 8);
    for (int i = 0; i < 3; ++i) volume[0xB0 + 8 * i + 1] = 0x10;
    std::memcpy(volume.data() + 4096, data, size);
    MemorySource source(volume);
    try {
        BitLockerMetadata::read(source);
    } catch (const ErrorException& e) {
        if (e.code() != kErrUnrecognized) std::abort();
    }
    return 0;
}
