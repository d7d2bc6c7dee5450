#pragma once
// Bounds-checked little-endian reads over a byte range. Every read outside
// the range raises ErrorException with the code and diagnostic the reader
// was made with; nothing is ever read past the end, whatever the disk says.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/ErrorException.h"

namespace resurgo {

class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size, std::int32_t code, const char* diagnostic)
        : data_(data), size_(size), code_(code), diagnostic_(diagnostic) {}
    virtual ~ByteReader() = default;

    std::size_t size() const { return size_; }
    const std::uint8_t* data() const { return data_; }

    // True when [offset, offset + length) lies inside the range.
    bool contains(std::size_t offset, std::size_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }
    void require(std::size_t offset, std::size_t length) const {
        if (!contains(offset, length)) throw ErrorException(code_, diagnostic_);
    }

    std::uint8_t u8(std::size_t off) const {
        require(off, 1);
        return data_[off];
    }
    std::int8_t s8(std::size_t off) const { return static_cast<std::int8_t>(u8(off)); }
    std::uint16_t u16(std::size_t off) const {
        require(off, 2);
        return static_cast<std::uint16_t>(data_[off] | (data_[off + 1] << 8));
    }
    std::uint32_t u32(std::size_t off) const {
        require(off, 4);
        return static_cast<std::uint32_t>(data_[off]) | (static_cast<std::uint32_t>(data_[off + 1]) << 8) |
               (static_cast<std::uint32_t>(data_[off + 2]) << 16) | (static_cast<std::uint32_t>(data_[off + 3]) << 24);
    }
    std::uint64_t u64(std::size_t off) const {
        require(off, 8);
        return static_cast<std::uint64_t>(u32(off)) | (static_cast<std::uint64_t>(u32(off + 4)) << 32);
    }
    // A sub-range [offset, offset + length) with the same failure code.
    ByteReader sub(std::size_t offset, std::size_t length) const {
        require(offset, length);
        return ByteReader(data_ + offset, length, code_, diagnostic_);
    }
    ByteReader withDiagnostic(std::int32_t code, const char* diagnostic) const {
        return ByteReader(data_, size_, code, diagnostic);
    }

    std::int32_t code() const { return code_; }
    const char* diagnostic() const { return diagnostic_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::int32_t code_;
    const char* diagnostic_;
};

} // namespace resurgo
