#include "recovery/carve/CarveInput.h"

#include <algorithm>
#include <cstring>

#include "core/ErrorException.h"
#include "source/Source.h"

namespace resurgo {

namespace {
const char* const kDiagOutside = "CarveInput::at <Read outside the candidate>";
const char* const kDiagRead = "CarveInput::at";
} // namespace

CarveInput::CarveInput(Source& source) : source_(source), window_(kWindowBytes) {}
CarveInput::~CarveInput() = default;

void CarveInput::reset(std::uint64_t start, std::uint64_t limit, const std::uint8_t* view, std::size_t viewBytes) {
    start_ = start;
    limit_ = limit;
    view_ = view;
    viewBytes_ = view == nullptr ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(viewBytes, limit));
    windowPos_ = 0;
    windowBytes_ = 0;
}

const std::uint8_t* CarveInput::at(std::uint64_t pos, std::size_t length) {
    if (!has(pos, length) || length > kWindowBytes) throw ErrorException(kErrUnrecognized, kDiagOutside);
    if (pos < viewBytes_ && length <= viewBytes_ - pos) return view_ + pos;
    if (pos >= windowPos_ && pos - windowPos_ + length <= windowBytes_) return window_.data() + (pos - windowPos_);
    // Reads from the sector holding pos, so that devices reading whole
    // sectors only are served too.
    const std::uint32_t unit = source_.sectorSize() > 1 ? source_.sectorSize() : 1;
    const std::uint64_t absolute = start_ + pos;
    const std::uint64_t first = absolute - absolute % unit;
    const std::size_t lead = static_cast<std::size_t>(absolute - first);
    if (lead + length > kWindowBytes) throw ErrorException(kErrUnrecognized, kDiagOutside);
    const std::uint64_t available = source_.size() > first ? source_.size() - first : 0;
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kWindowBytes, available));
    want -= want % unit == 0 || want == available ? 0 : want % unit;
    const std::size_t got = want == 0 ? 0 : source_.readAt(window_.data(), want, first, kDiagRead);
    if (got < lead + length) throw ErrorException(kErrUnrecognized, kDiagOutside);
    // The window starts lead bytes before pos (at the sector's start).
    windowPos_ = pos - lead;
    windowBytes_ = got;
    // Bytes past the candidate's limit are never served: has() guards.
    return window_.data() + lead;
}

std::uint8_t CarveInput::u8(std::uint64_t pos) { return *at(pos, 1); }

std::uint16_t CarveInput::le16(std::uint64_t pos) {
    const std::uint8_t* p = at(pos, 2);
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t CarveInput::le32(std::uint64_t pos) {
    const std::uint8_t* p = at(pos, 4);
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t CarveInput::le64(std::uint64_t pos) {
    const std::uint64_t low = le32(pos);
    return low | (static_cast<std::uint64_t>(le32(pos + 4)) << 32);
}
std::uint16_t CarveInput::be16(std::uint64_t pos) {
    const std::uint8_t* p = at(pos, 2);
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
std::uint32_t CarveInput::be32(std::uint64_t pos) {
    const std::uint8_t* p = at(pos, 4);
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}
std::uint64_t CarveInput::be64(std::uint64_t pos) {
    const std::uint64_t high = be32(pos);
    return (high << 32) | be32(pos + 4);
}

void CarveInput::read(std::uint64_t pos, std::uint8_t* out, std::size_t length) {
    if (length == 0) return;
    std::memcpy(out, at(pos, length), length);
}

bool CarveInput::equals(std::uint64_t pos, const char* text, std::size_t length) {
    if (!has(pos, length)) return false;
    return std::memcmp(at(pos, length), text, length) == 0;
}

std::uint64_t CarveInput::find(std::uint64_t from, std::uint64_t to, const char* text, std::size_t length) {
    to = std::min(to, limit_);
    if (length == 0) return from < to ? from : kNotFound;
    constexpr std::size_t kSpan = kWindowBytes / 2;
    while (from < to && length <= to - from) {
        const std::size_t span = static_cast<std::size_t>(std::min<std::uint64_t>(kSpan, to - from));
        const std::size_t look = std::min<std::size_t>(span + length - 1, static_cast<std::size_t>(to - from));
        const std::uint8_t* p = at(from, look);
        // The first byte by memchr (vectorised), then the rest compared.
        const std::uint8_t* end = p + look;
        for (const std::uint8_t* q = p; static_cast<std::size_t>(end - q) >= length;) {
            const auto* hit = static_cast<const std::uint8_t*>(
                std::memchr(q, static_cast<unsigned char>(text[0]), static_cast<std::size_t>(end - q) - length + 1));
            if (hit == nullptr) break;
            if (std::memcmp(hit + 1, text + 1, length - 1) == 0) return from + static_cast<std::uint64_t>(hit - p);
            q = hit + 1;
        }
        from += span;
    }
    return kNotFound;
}

std::uint64_t CarveInput::findLast(std::uint64_t from, std::uint64_t to, const char* text, std::size_t length) {
    std::uint64_t last = kNotFound;
    for (std::uint64_t hit = find(from, to, text, length); hit != kNotFound; hit = find(hit + 1, to, text, length)) {
        last = hit;
    }
    return last;
}

} // namespace resurgo
