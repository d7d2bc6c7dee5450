#pragma once
// The file formats recognised in free space: one table, one entry per
// format. An entry says how a file of the format begins (a test of its
// first bytes), and how long it is from its own structure (chunk lengths,
// central directories, frame headers, trailers), walking it through a
// CarveInput that refuses any read past the free space the candidate lies
// in. A candidate that does not hold together measures 0. A contributor adds
// a format with one entry and its two functions.
#include <cstddef>
#include <cstdint>

namespace resurgo {

class CarveInput;

struct CARVE_FORMAT {
    // Short type name, also the extension of unnamed files ("jpg").
    const char* type;
    // Bytes the begins test looks at (at most kHeadBytes).
    std::size_t headBytes;
    bool (*begins)(const std::uint8_t* head);
    // The file's length in bytes, or 0 when it does not hold together.
    // May refine type (a ZIP that is a DOCX) through subtype.
    std::uint64_t (*measure)(CarveInput& input, const char** subtype);
};

class CarveFormats {
public:
    // Longest begins test.
    static constexpr std::size_t kHeadBytes = 16;
    // No format's walk visits more structures (chunks, boxes, frames,
    // pages, entries) than this; a longer walk does not hold together.
    static constexpr std::uint32_t kMaxSteps = 1u << 20;

    static const CARVE_FORMAT* table();
    // Raises ErrorException (kErrUnrecognized): the candidate does not
    // hold together.
    [[noreturn]] static void broken();
    // CRC-32 (ISO-HDLC, as in PNG, ZIP, RAR, GZIP) of [pos, pos + length)
    // of the candidate.
    static std::uint32_t crc32(CarveInput& in, std::uint64_t pos, std::uint64_t length);
    static std::size_t count();
    // The entry whose type is type, or null.
    static const CARVE_FORMAT* byType(const char* type);
};

} // namespace resurgo
