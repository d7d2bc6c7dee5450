#pragma once
// One MFT file record rebuilt from $LogFile: the image a record
// initialization logged, changed by each later operation's redo data the
// way NTFS changes the record (attributes inserted and removed, resident
// values and mapping pairs written, attribute sizes set). Nothing is ever
// written outside the image, whatever an operation says.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ntfs/LOG_OPERATION.h"

namespace resurgo {

class LoggedFileRecord {
public:
    // Attribute header fields used here.
    static constexpr std::size_t kAttributeLength = 0x04;
    static constexpr std::size_t kNonResidentFlag = 0x08;
    static constexpr std::size_t kLowestVcn = 0x10;
    static constexpr std::size_t kHighestVcn = 0x18;
    static constexpr std::size_t kMappingPairsOffset = 0x20;
    static constexpr std::size_t kAllocatedSize = 0x28;
    static constexpr std::size_t kDataSize = 0x30;
    static constexpr std::size_t kInitializedSize = 0x38;
    static constexpr std::size_t kCompressedSize = 0x40;
    // Record header fields.
    static constexpr std::size_t kSequenceNumber = 0x10;
    static constexpr std::size_t kBytesInUse = 0x18;
    static constexpr std::size_t kUsaOffset = 0x04;
    static constexpr std::size_t kUsaCount = 0x06;
    static constexpr std::size_t kStride = 512;

    enum class Change {
        None,         // not applied: no image yet, or the operation does not fit it
        Initialized,  // a new image (a new file in the record)
        Deallocated,  // the record was freed
        Updated,
    };

    explicit LoggedFileRecord(std::size_t recordBytes);

    // Applies op's redo data to the image.
    Change apply(const LOG_OPERATION& op);

    bool known() const { return known_; }
    // Lets the image go (a freed record): memory is held only for records
    // whose file the log still follows.
    void forget();
    std::uint16_t sequence() const;
    const std::vector<std::uint8_t>& image() const { return image_; }
    // The image with its update sequence made whole again, as it would lie
    // on disk: MFT_RECORD::parse takes it.
    std::vector<std::uint8_t> onDisk() const;

private:
    Change initialize(const std::uint8_t* data, std::size_t length, std::size_t at);
    // [at, at + length) lies inside the image.
    bool fits(std::size_t at, std::size_t length) const;
    std::size_t used() const;
    void setUsed(std::size_t used);
    bool insert(std::size_t at, const std::uint8_t* data, std::size_t length);
    bool remove(std::size_t at, std::size_t length);
    bool write(std::size_t at, const std::uint8_t* data, std::size_t length);
    // Grows the attribute at `attribute` to hold `end` bytes.
    bool growAttribute(std::size_t attribute, std::size_t end);
    // Sets the highest VCN of the non-resident attribute at `attribute` to
    // the last one its mapping pairs cover (NTFS keeps it with the pairs).
    void setHighestVcn(std::size_t attribute);
    bool setSizes(std::size_t attribute, const std::uint8_t* data, std::size_t length);
    std::uint32_t u32(std::size_t at) const;
    void put32(std::size_t at, std::uint32_t v);

    std::size_t recordBytes_ = 0;
    std::vector<std::uint8_t> image_;  // empty until an image is known
    bool known_ = false;
};

} // namespace resurgo
