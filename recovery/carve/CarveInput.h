#pragma once
// Bounds-checked reads of a candidate file's bytes on the source, from its
// first byte up to a limit (the end of the free space it lies in), through
// one window kept in memory. Every read past the limit raises
// ErrorException (kErrUnrecognized): a format that points outside what may
// be its file does not hold together.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace resurgo {

class Source;

class CarveInput {
public:
    static constexpr std::size_t kWindowBytes = 1 << 20;
    static constexpr std::uint64_t kNotFound = ~0ULL;

    explicit CarveInput(Source& source);
    virtual ~CarveInput();
    CarveInput(const CarveInput&) = delete;
    CarveInput& operator=(const CarveInput&) = delete;

    // Looks at the candidate starting at byte start of the source, with at
    // most limit bytes available from there.
    // view, when given, holds the candidate's first viewBytes bytes (the
    // caller keeps them alive while the candidate is looked at): reads
    // inside it are not copied.
    void reset(std::uint64_t start, std::uint64_t limit, const std::uint8_t* view = nullptr, std::size_t viewBytes = 0);
    std::uint64_t start() const { return start_; }
    std::uint64_t limit() const { return limit_; }
    bool has(std::uint64_t pos, std::uint64_t length) const { return pos <= limit_ && length <= limit_ - pos; }

    std::uint8_t u8(std::uint64_t pos);
    std::uint16_t le16(std::uint64_t pos);
    std::uint32_t le32(std::uint64_t pos);
    std::uint64_t le64(std::uint64_t pos);
    std::uint16_t be16(std::uint64_t pos);
    std::uint32_t be32(std::uint64_t pos);
    std::uint64_t be64(std::uint64_t pos);
    // Copies length bytes (at most kWindowBytes) at pos.
    void read(std::uint64_t pos, std::uint8_t* out, std::size_t length);
    // True when the bytes at pos are text (false when past the limit).
    bool equals(std::uint64_t pos, const char* text, std::size_t length);
    // The first pos in [from, to) where text starts, or kNotFound.
    std::uint64_t find(std::uint64_t from, std::uint64_t to, const char* text, std::size_t length);
    // The last such pos, or kNotFound.
    std::uint64_t findLast(std::uint64_t from, std::uint64_t to, const char* text, std::size_t length);

private:
    // Makes [pos, pos + length) (length <= kWindowBytes) part of the window
    // and returns its first byte there.
    const std::uint8_t* at(std::uint64_t pos, std::size_t length);

    Source& source_;
    std::uint64_t start_ = 0;
    std::uint64_t limit_ = 0;
    const std::uint8_t* view_ = nullptr;
    std::size_t viewBytes_ = 0;
    std::vector<std::uint8_t> window_;
    std::uint64_t windowPos_ = 0;  // relative to start_
    std::size_t windowBytes_ = 0;
};

} // namespace resurgo
