#pragma once
// The walks of the formats whose every block carries its own checksum, for
// the CarveFormats table: FLAC (metadata blocks, then frames whose header
// has a CRC-8 and whose whole has a CRC-16, up to the stream's sample
// count), RAR 4 and RAR 5 (block headers with their CRCs, up to the
// end-of-archive block) and GZIP (members whose deflate stream zlib inflates
// to find where it ends, then the trailer's CRC-32 and length; concatenated
// members are one file). Each measure returns the file's length, or raises
// ErrorException (kErrUnrecognized) when it does not hold together.
#include <cstdint>

namespace resurgo {

class CarveInput;

class CarveWalks {
public:
    // A GZIP member's deflate stream that inflates to more than this is not
    // followed (the trailer's length counts modulo 2^32 only).
    static constexpr std::uint64_t kMaxInflatedBytes = 1ULL << 32;
    // RAR 5 says a header is at most 2 MiB.
    static constexpr std::uint64_t kMaxRar5HeaderBytes = 2ULL << 20;

    static bool beginsFlac(const std::uint8_t* head);
    static std::uint64_t measureFlac(CarveInput& in, const char** subtype);
    static bool beginsRar(const std::uint8_t* head);
    static std::uint64_t measureRar(CarveInput& in, const char** subtype);
    // False when built without zlib: GZIP is then not carved.
    static bool gzipSupported();
    static bool beginsGzip(const std::uint8_t* head);
    static std::uint64_t measureGzip(CarveInput& in, const char** subtype);
};

} // namespace resurgo
