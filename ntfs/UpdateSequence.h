#pragma once
// The update sequence that protects multi-sector structures on disk (FILE
// records, INDX blocks): the last word of every 512-byte stride holds the
// sequence number, and the words it replaced wait in an array near the
// header. Applying it checks each stride's word and puts the saved words
// back, in place.

#include <cstddef>
#include <cstdint>

namespace resurgo {

class UpdateSequence {
public:
    // The header fields every protected structure has.
    static constexpr std::size_t kArrayOffset = 0x04;
    static constexpr std::size_t kArrayCount = 0x06;
    // Update sequences protect structures in strides of 512 bytes.
    static constexpr std::size_t kStride = 512;

    // The diagnostics (code 13) of the three faults.
    struct Diagnostics {
        const char* count;   // the array's count does not match the length
        const char* offset;  // the array lies outside its first stride or overlaps the header
        const char* word;    // a stride's last word is not the sequence number
    };

    // Checks and applies the array of bytes[0, length): length must be a
    // whole number of strides, the array's count one more than the strides,
    // the array word-aligned, at or after minArrayOffset and inside the
    // first stride. Raises kErrRecordFormat with the matching diagnostic.
    static void apply(std::uint8_t* bytes, std::size_t length, std::size_t minArrayOffset,
                      const Diagnostics& diagnostics);

    // The length a FILE record's header announces by its array's count (one
    // stride fewer than the count), when it is a record size NTFS uses
    // (1024, 2048 or 4096 bytes) and fits in bytes[0, length); else 0.
    static std::size_t recordBytes(const std::uint8_t* bytes, std::size_t length);
};

} // namespace resurgo
