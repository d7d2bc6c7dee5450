#include "ntfs/LoggedFileRecord.h"

#include <algorithm>
#include <cstring>

namespace resurgo {

namespace {
// A record header is longer than this; attributes start after it.
constexpr std::size_t kMinAttributeOffset = 0x18;
// An attribute header holds at least its type and length.
constexpr std::size_t kMinAttributeBytes = 0x10;
} // namespace

LoggedFileRecord::LoggedFileRecord(std::size_t recordBytes) : recordBytes_(recordBytes) {}

void LoggedFileRecord::forget() {
    known_ = false;
    std::vector<std::uint8_t>().swap(image_);
}

std::uint32_t LoggedFileRecord::u32(std::size_t at) const {
    if (!fits(at, 4)) return 0;
    return static_cast<std::uint32_t>(image_[at]) | (static_cast<std::uint32_t>(image_[at + 1]) << 8) |
           (static_cast<std::uint32_t>(image_[at + 2]) << 16) | (static_cast<std::uint32_t>(image_[at + 3]) << 24);
}

void LoggedFileRecord::put32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) image_[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint16_t LoggedFileRecord::sequence() const {
    if (!fits(kSequenceNumber, 2)) return 0;
    return static_cast<std::uint16_t>(image_[kSequenceNumber] | (image_[kSequenceNumber + 1] << 8));
}

bool LoggedFileRecord::fits(std::size_t at, std::size_t length) const {
    return at <= image_.size() && length <= image_.size() - at;
}

std::size_t LoggedFileRecord::used() const { return std::min<std::size_t>(u32(kBytesInUse), image_.size()); }

void LoggedFileRecord::setUsed(std::size_t used) { put32(kBytesInUse, static_cast<std::uint32_t>(used)); }

bool LoggedFileRecord::insert(std::size_t at, const std::uint8_t* data, std::size_t length) {
    const std::size_t end = used();
    if (at < kMinAttributeOffset || at > end || length > image_.size() - end) return false;
    std::memmove(image_.data() + at + length, image_.data() + at, end - at);
    std::memcpy(image_.data() + at, data, length);
    setUsed(end + length);
    return true;
}

bool LoggedFileRecord::remove(std::size_t at, std::size_t length) {
    const std::size_t end = used();
    if (at < kMinAttributeOffset || at > end || length > end - at) return false;
    std::memmove(image_.data() + at, image_.data() + at + length, end - at - length);
    std::memset(image_.data() + end - length, 0, length);
    setUsed(end - length);
    return true;
}

bool LoggedFileRecord::write(std::size_t at, const std::uint8_t* data, std::size_t length) {
    if (!fits(at, length)) return false;
    std::memcpy(image_.data() + at, data, length);
    return true;
}

bool LoggedFileRecord::growAttribute(std::size_t attribute, std::size_t end) {
    const std::size_t length = u32(attribute + kAttributeLength);
    if (length < kMinAttributeBytes || !fits(attribute, length) || end <= length) return fits(attribute, end);
    const std::size_t grown = (end + 7) & ~static_cast<std::size_t>(7);
    const std::size_t extra = grown - length;
    const std::size_t at = attribute + length;
    const std::size_t last = used();
    if (at > last || extra > image_.size() - last) return false;
    std::memmove(image_.data() + at + extra, image_.data() + at, last - at);
    std::memset(image_.data() + at, 0, extra);
    setUsed(last + extra);
    put32(attribute + kAttributeLength, static_cast<std::uint32_t>(grown));
    return true;
}

void LoggedFileRecord::setHighestVcn(std::size_t attribute) {
    const std::size_t length = u32(attribute + kAttributeLength);
    if (!fits(attribute, length) || length < kMappingPairsOffset + 2 || image_[attribute + kNonResidentFlag] != 1) return;
    std::size_t at = attribute + (static_cast<std::size_t>(image_[attribute + kMappingPairsOffset]) |
                                  (static_cast<std::size_t>(image_[attribute + kMappingPairsOffset + 1]) << 8));
    const std::size_t end = attribute + length;
    std::uint64_t clusters = 0;
    // Each pair: a header byte (length bytes, offset bytes), then the fields.
    while (at < end && image_[at] != 0) {
        const std::size_t lengthBytes = image_[at] & 0x0F;
        const std::size_t offsetBytes = image_[at] >> 4;
        if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 || end - at - 1 < lengthBytes + offsetBytes) return;
        std::uint64_t run = 0;
        for (std::size_t i = 0; i < lengthBytes; ++i) run |= static_cast<std::uint64_t>(image_[at + 1 + i]) << (8 * i);
        if (run > ~0ULL / 2 - clusters) return;
        clusters += run;
        at += 1 + lengthBytes + offsetBytes;
    }
    std::uint64_t lowest = 0;
    for (int i = 0; i < 8; ++i) lowest |= static_cast<std::uint64_t>(image_[attribute + kLowestVcn + i]) << (8 * i);
    const std::uint64_t highest = lowest + clusters - 1;  // below the lowest when there are none
    for (int i = 0; i < 8; ++i) image_[attribute + kHighestVcn + i] = static_cast<std::uint8_t>(highest >> (8 * i));
}

bool LoggedFileRecord::setSizes(std::size_t attribute, const std::uint8_t* data, std::size_t length) {
    // Allocated size, valid data length, file size and, for compressed and
    // sparse data, the clusters allocated.
    if (length < 24 || !fits(attribute, kCompressedSize) || image_[attribute + kNonResidentFlag] != 1) return false;
    std::memcpy(image_.data() + attribute + kAllocatedSize, data, 8);
    std::memcpy(image_.data() + attribute + kInitializedSize, data + 8, 8);
    std::memcpy(image_.data() + attribute + kDataSize, data + 16, 8);
    const std::size_t pairs = static_cast<std::size_t>(image_[attribute + kMappingPairsOffset]) |
                              (static_cast<std::size_t>(image_[attribute + kMappingPairsOffset + 1]) << 8);
    if (length >= 32 && pairs >= kCompressedSize + 8 && fits(attribute + kCompressedSize, 8)) {
        std::memcpy(image_.data() + attribute + kCompressedSize, data + 24, 8);
    }
    return true;
}

LoggedFileRecord::Change LoggedFileRecord::initialize(const std::uint8_t* data, std::size_t length, std::size_t at) {
    if (at > recordBytes_ || length > recordBytes_ - at || length < kMinAttributeOffset) return Change::None;
    image_.assign(recordBytes_, 0);
    std::memcpy(image_.data() + at, data, length);
    known_ = true;
    return Change::Initialized;
}

LoggedFileRecord::Change LoggedFileRecord::apply(const LOG_OPERATION& op) {
    using Op = LOG_OPERATION;
    const std::size_t at = op.recordOffset;
    const std::size_t inAttribute = static_cast<std::size_t>(op.recordOffset) + op.attributeOffset;
    if (op.redoOperation == Op::InitializeFileRecordSegment) return initialize(op.redo, op.redoLength, at);
    if (op.redoOperation == Op::DeallocateFileRecordSegment) {
        // The undo data may hold the whole record as it was.
        if (!known_ && op.undoOperation == Op::InitializeFileRecordSegment &&
            initialize(op.undo, op.undoLength, at) == Change::None) {
            return Change::None;
        }
        return known_ ? Change::Deallocated : Change::None;
    }
    if (!known_) return Change::None;
    bool done = false;
    switch (op.redoOperation) {
    case Op::CreateAttribute: done = insert(at, op.redo, op.redoLength); break;
    case Op::DeleteAttribute: {
        const std::size_t length = u32(at + kAttributeLength);
        done = length >= kMinAttributeBytes && remove(at, length);
        break;
    }
    case Op::UpdateMappingPairs:
        done = growAttribute(at, static_cast<std::size_t>(op.attributeOffset) + op.redoLength) &&
               write(inAttribute, op.redo, op.redoLength);
        if (done) setHighestVcn(at);
        break;
    case Op::UpdateResidentValue:
    case Op::WriteEndOfFileRecordSegment: done = write(inAttribute, op.redo, op.redoLength); break;
    case Op::SetNewAttributeSizes: done = setSizes(at, op.redo, op.redoLength); break;
    default: break;
    }
    return done ? Change::Updated : Change::None;
}

std::vector<std::uint8_t> LoggedFileRecord::onDisk() const {
    std::vector<std::uint8_t> out = image_;
    if (out.size() < kStride) return out;
    const std::size_t strides = out.size() / kStride;
    std::size_t usa = static_cast<std::size_t>(out[kUsaOffset]) | (static_cast<std::size_t>(out[kUsaOffset + 1]) << 8);
    // The array lies where the record says, if it fits there.
    if ((usa & 1) != 0 || usa < 0x28 || usa + 2 * (strides + 1) > kStride) usa = 0x30;
    out[kUsaOffset] = static_cast<std::uint8_t>(usa);
    out[kUsaOffset + 1] = static_cast<std::uint8_t>(usa >> 8);
    out[kUsaCount] = static_cast<std::uint8_t>(strides + 1);
    out[kUsaCount + 1] = 0;
    const std::uint8_t usn[2] = {0x01, 0x00};
    out[usa] = usn[0];
    out[usa + 1] = usn[1];
    for (std::size_t i = 0; i < strides; ++i) {
        const std::size_t last = (i + 1) * kStride - 2;
        out[usa + 2 + 2 * i] = out[last];
        out[usa + 3 + 2 * i] = out[last + 1];
        out[last] = usn[0];
        out[last + 1] = usn[1];
    }
    return out;
}

} // namespace resurgo
