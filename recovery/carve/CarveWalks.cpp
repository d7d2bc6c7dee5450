#include "recovery/carve/CarveWalks.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#ifdef RESURGO_HAVE_ZLIB
#include <zlib.h>
#endif

#include "core/ErrorException.h"
#include "recovery/carve/CarveFormats.h"
#include "recovery/carve/CarveInput.h"

namespace resurgo {

namespace {

using u64 = std::uint64_t;

// Counts the blocks or frames a walk visits; too many and it stops.
class Steps {
public:
    void next() {
        if (++count_ > CarveFormats::kMaxSteps) CarveFormats::broken();
    }

private:
    std::uint32_t count_ = 0;
};

// ---- FLAC ----------------------------------------------------------------

// STREAMINFO, the first metadata block.
constexpr u64 kStreamInfoBytes = 34;
constexpr std::uint8_t kLastBlock = 0x80;
constexpr std::uint8_t kInvalidBlockType = 127;
// A frame with no stated maximum size is looked at over at most this many
// bytes (a frame of 65535 samples of 8 channels of 32 bits, verbatim).
constexpr u64 kMaxFrameBytes = 65535ULL * 8 * 4 + 64;

struct FlacTables {
    std::array<std::uint8_t, 256> crc8{};
    std::array<std::uint16_t, 256> crc16{};
    FlacTables() {
        for (unsigned i = 0; i < 256; ++i) {
            unsigned c = i;
            for (int k = 0; k < 8; ++k) c = (c & 0x80) != 0 ? (c << 1) ^ 0x07 : c << 1;
            crc8[i] = static_cast<std::uint8_t>(c);
            unsigned d = i << 8;
            for (int k = 0; k < 8; ++k) d = (d & 0x8000) != 0 ? (d << 1) ^ 0x8005 : d << 1;
            crc16[i] = static_cast<std::uint16_t>(d);
        }
    }
};
const FlacTables& flacTables() {
    static const FlacTables tables;
    return tables;
}

struct FrameHeader {
    u64 bytes = 0;    // with its CRC-8
    u64 samples = 0;  // in the block
    u64 number = 0;   // frame number (fixed blocking) or first sample
    bool variable = false;
};

// The frame or sample number at b[at], UTF-8 style in 1 to 7 bytes (6 at
// most with fixed blocking); at moves past it, with room left for what
// follows.
bool codedNumber(const std::uint8_t* b, std::size_t n, bool variable, std::size_t& at, u64& number) {
    unsigned extra = 0;
    number = b[at];
    if ((b[at] & 0x80) == 0) {
        extra = 0;
    } else if ((b[at] & 0xE0) == 0xC0) {
        extra = 1, number &= 0x1F;
    } else if ((b[at] & 0xF0) == 0xE0) {
        extra = 2, number &= 0x0F;
    } else if ((b[at] & 0xF8) == 0xF0) {
        extra = 3, number &= 0x07;
    } else if ((b[at] & 0xFC) == 0xF8) {
        extra = 4, number &= 0x03;
    } else if ((b[at] & 0xFE) == 0xFC) {
        extra = 5, number &= 0x01;
    } else if (b[at] == 0xFE) {
        extra = 6, number = 0;
    } else {
        return false;
    }
    if (!variable && extra > 5) return false;
    ++at;
    if (at + extra + 3 > n) return false;
    for (unsigned i = 0; i < extra; ++i, ++at) {
        if ((b[at] & 0xC0) != 0x80) return false;
        number = number << 6 | (b[at] & 0x3F);
    }
    return true;
}

// The samples in a block, from the header's size code and the bytes at
// b[at] that codes 6 and 7 add (at moves past them).
u64 blockSamples(unsigned sizeCode, const std::uint8_t* b, std::size_t& at) {
    if (sizeCode == 1) return 192;
    if (sizeCode <= 5) return 576ULL << (sizeCode - 2);
    if (sizeCode == 6) return b[at++] + 1ULL;
    if (sizeCode == 7) {
        const u64 samples = (static_cast<u64>(b[at]) << 8 | b[at + 1]) + 1;
        at += 2;
        return samples;
    }
    return 256ULL << (sizeCode - 8);
}

// The frame header at pos, or false when none holds together there.
bool frameHeaderAt(CarveInput& in, u64 pos, FrameHeader& h) {
    std::uint8_t b[16];
    if (!in.has(pos, 6)) return false;
    const std::size_t n = static_cast<std::size_t>(std::min<u64>(sizeof b, in.limit() - pos));
    in.read(pos, b, n);
    if (b[0] != 0xFF || (b[1] & 0xFE) != 0xF8) return false;
    const unsigned sizeCode = b[2] >> 4;
    const unsigned rateCode = b[2] & 0x0F;
    const unsigned channels = b[3] >> 4;
    const unsigned bits = (b[3] >> 1) & 7;
    if (sizeCode == 0 || rateCode == 15 || channels > 10 || bits == 3 || (b[3] & 1) != 0) return false;
    h.variable = (b[1] & 1) != 0;
    std::size_t at = 4;
    if (!codedNumber(b, n, h.variable, at, h.number)) return false;
    if (at + 2 >= n) return false;
    h.samples = blockSamples(sizeCode, b, at);
    if (rateCode == 12) at += 1;
    if (rateCode == 13 || rateCode == 14) at += 2;
    if (at >= n) return false;
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < at; ++i) crc = flacTables().crc8[crc ^ b[i]];
    if (crc != b[at]) return false;
    h.bytes = at + 1;
    return true;
}

// The end of the metadata block at pos; last tells whether it is flagged
// the last.
u64 metadataBlockEnd(CarveInput& in, u64 pos, bool& last) {
    const std::uint8_t type = in.u8(pos);
    last = (type & kLastBlock) != 0;
    if ((type & 0x7F) == kInvalidBlockType || (pos > 4 && (type & 0x7F) == 0)) CarveFormats::broken();
    const u64 length = static_cast<u64>(in.u8(pos + 1)) << 16 | in.be16(pos + 2);
    pos += 4 + length;
    if (!in.has(0, pos)) CarveFormats::broken();
    return pos;
}

// The length of the frame at pos, between least and most bytes: the first
// where its CRC-16 (no final xor, so that the CRC of the frame with its CRC
// appended is 0) comes out 0 and the next frame's header (into next)
// follows, or, for the last frame (lastBySamples), where it first comes out
// 0. 0 when neither; firstZero gets the first length whose CRC is 0.
u64 frameEnd(CarveInput& in, u64 pos, u64 least, u64 most, bool lastBySamples, std::vector<std::uint8_t>& buf,
             FrameHeader& next, u64& firstZero) {
    const auto& crc16 = flacTables().crc16;
    std::uint16_t crc = 0;
    for (u64 done = 0; done < most;) {
        const std::size_t n = static_cast<std::size_t>(std::min<u64>(buf.size(), most - done));
        in.read(pos + done, buf.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
            crc = static_cast<std::uint16_t>((crc << 8) ^ crc16[((crc >> 8) ^ buf[i]) & 0xFF]);
            const u64 length = done + i + 1;
            if (crc != 0 || length < least) continue;
            if (firstZero == 0) firstZero = length;
            if (lastBySamples ||
                (in.has(pos + length, 6) && in.u8(pos + length) == 0xFF && frameHeaderAt(in, pos + length, next))) {
                return length;
            }
        }
        done += n;
    }
    return 0;
}

} // namespace

bool CarveWalks::beginsFlac(const std::uint8_t* h) {
    // "fLaC" and a STREAMINFO block of 34 bytes first.
    return std::memcmp(h, "fLaC", 4) == 0 && (h[4] & 0x7F) == 0 && h[5] == 0 && h[6] == 0 && h[7] == kStreamInfoBytes;
}

u64 CarveWalks::measureFlac(CarveInput& in, const char**) {
    Steps steps;
    u64 pos = 4;
    // Metadata blocks, STREAMINFO first, until the one flagged last.
    // STREAMINFO: block sizes (16 bits each), frame sizes (24 bits each),
    // then 20 bits of sample rate, 3 of channels, 5 of sample size and 36
    // of the total sample count (0: not known).
    const u64 minFrame = static_cast<u64>(in.u8(12)) << 16 | in.be16(13);
    const u64 maxFrameStated = static_cast<u64>(in.u8(15)) << 16 | in.be16(16);
    const u64 maxFrame = maxFrameStated != 0 ? maxFrameStated : kMaxFrameBytes;
    const u64 totalSamples = (static_cast<u64>(in.u8(21) & 0x0F) << 32) | in.be32(22);
    if (in.be16(8) < 16 || in.be16(8) > in.be16(10) || (maxFrameStated != 0 && minFrame > maxFrameStated)) {
        CarveFormats::broken();
    }
    for (bool last = false; !last;) {
        steps.next();
        pos = metadataBlockEnd(in, pos, last);
    }
    // Frames: each ends where its CRC-16 (no final xor, so that the CRC of
    // the frame with its CRC appended is 0) comes out 0 and the next
    // frame's header follows, numbered next; the last frame, where the
    // samples reach the stated count, or where no next frame follows.
    FrameHeader h;
    if (!frameHeaderAt(in, pos, h)) CarveFormats::broken();
    const bool variable = h.variable;
    u64 samples = 0;
    u64 frames = 0;
    std::vector<std::uint8_t> buf(std::size_t{64} * 1024);
    for (;;) {
        steps.next();
        if ((variable ? h.number != samples : h.number != frames) || h.variable != variable) break;
        const bool lastBySamples = totalSamples != 0 && samples + h.samples >= totalSamples;
        const u64 least = std::max<u64>(h.bytes + 3, minFrame);
        const u64 most = std::min<u64>(maxFrame, in.limit() - pos);
        u64 firstZero = 0;
        FrameHeader next;
        u64 end = frameEnd(in, pos, least, most, lastBySamples, buf, next, firstZero);
        if (end == 0 && !lastBySamples && totalSamples == 0) end = firstZero;
        if (end == 0) break;
        pos += end;
        samples += h.samples;
        ++frames;
        if (lastBySamples) return pos;
        if (totalSamples == 0 && next.bytes == 0) return pos;
        h = next;
        next = FrameHeader();
    }
    // Frames stopped before the stated count: the file is not whole.
    if (totalSamples != 0 || frames == 0) CarveFormats::broken();
    return pos;
}

// ---- RAR -------------------------------------------------------------------

namespace {

constexpr char kRar4[] = "Rar!\x1A\x07\x00";
constexpr char kRar5[] = "Rar!\x1A\x07\x01\x00";
constexpr u64 kRar4MarkerBytes = 7;
constexpr u64 kRar5MarkerBytes = 8;
// RAR 4 block types.
constexpr std::uint8_t kRar4Main = 0x73;
constexpr std::uint8_t kRar4File = 0x74;
constexpr std::uint8_t kRar4Service = 0x7A;
constexpr std::uint8_t kRar4End = 0x7B;
constexpr std::uint16_t kRar4AddSize = 0x8000;
constexpr std::uint16_t kRar4Large = 0x0100;
constexpr u64 kRar4BaseBytes = 7;
constexpr u64 kRar4FileBytes = 32;
// RAR 5 header types and flags.
constexpr u64 kRar5Main = 1;
constexpr u64 kRar5Encryption = 4;
constexpr u64 kRar5End = 5;
constexpr u64 kRar5Extra = 0x0001;
constexpr u64 kRar5Data = 0x0002;

// A RAR 5 variable-length integer: 7 bits a byte, low first.
u64 vint(CarveInput& in, u64& pos) {
    u64 value = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
        const std::uint8_t b = in.u8(pos++);
        value |= static_cast<u64>(b & 0x7F) << shift;
        if ((b & 0x80) == 0) return value;
    }
    CarveFormats::broken();
}

u64 measureRar4(CarveInput& in) {
    Steps steps;
    u64 pos = kRar4MarkerBytes;
    for (bool first = true;; first = false) {
        steps.next();
        const std::uint16_t headCrc = in.le16(pos);
        const std::uint8_t type = in.u8(pos + 2);
        const std::uint16_t flags = in.le16(pos + 3);
        const u64 size = in.le16(pos + 5);
        if (size < kRar4BaseBytes || type < kRar4Main || type > kRar4End || (first && type != kRar4Main)) {
            CarveFormats::broken();
        }
        // The header's CRC: the low 16 bits of the CRC-32 of all of it
        // after the CRC field.
        if ((CarveFormats::crc32(in, pos + 2, size - 2) & 0xFFFF) != headCrc) CarveFormats::broken();
        if (type == kRar4End) return pos + size;
        u64 data = 0;
        if (type == kRar4File || type == kRar4Service) {
            if (size < kRar4FileBytes) CarveFormats::broken();
            data = in.le32(pos + 7);
            if ((flags & kRar4Large) != 0) {
                if (size < kRar4FileBytes + 8) CarveFormats::broken();
                data |= static_cast<u64>(in.le32(pos + kRar4FileBytes)) << 32;
            }
        } else if ((flags & kRar4AddSize) != 0) {
            if (size < kRar4BaseBytes + 4) CarveFormats::broken();
            data = in.le32(pos + 7);
        }
        if (!in.has(pos, size) || !in.has(pos + size, data)) CarveFormats::broken();
        pos += size + data;
    }
}

u64 measureRar5(CarveInput& in) {
    Steps steps;
    u64 pos = kRar5MarkerBytes;
    for (bool first = true;; first = false) {
        steps.next();
        const std::uint32_t crc = in.le32(pos);
        u64 at = pos + 4;
        const u64 size = vint(in, at);
        if (size == 0 || size > CarveWalks::kMaxRar5HeaderBytes || !in.has(at, size)) CarveFormats::broken();
        const u64 headerEnd = at + size;
        if (CarveFormats::crc32(in, pos + 4, headerEnd - (pos + 4)) != crc) CarveFormats::broken();
        const u64 type = vint(in, at);
        const u64 flags = vint(in, at);
        // Headers encrypted after this one can't be walked.
        if (type == 0 || type > kRar5End || type == kRar5Encryption || (first && type != kRar5Main)) {
            CarveFormats::broken();
        }
        if ((flags & kRar5Extra) != 0) vint(in, at);
        const u64 data = (flags & kRar5Data) != 0 ? vint(in, at) : 0;
        if (at > headerEnd) CarveFormats::broken();
        if (type == kRar5End) return headerEnd;
        if (!in.has(headerEnd, data)) CarveFormats::broken();
        pos = headerEnd + data;
    }
}

} // namespace

bool CarveWalks::beginsRar(const std::uint8_t* h) {
    return std::memcmp(h, kRar4, kRar4MarkerBytes) == 0 || std::memcmp(h, kRar5, kRar5MarkerBytes) == 0;
}

u64 CarveWalks::measureRar(CarveInput& in, const char**) {
    return in.equals(0, kRar5, kRar5MarkerBytes) ? measureRar5(in) : measureRar4(in);
}

// ---- GZIP ------------------------------------------------------------------

namespace {

constexpr std::uint8_t kGzipText = 0x01;
constexpr std::uint8_t kGzipHeaderCrc = 0x02;
constexpr std::uint8_t kGzipExtra = 0x04;
constexpr std::uint8_t kGzipName = 0x08;
constexpr std::uint8_t kGzipComment = 0x10;
constexpr std::uint8_t kGzipReserved = 0xE0;
constexpr u64 kGzipFixedBytes = 10;
constexpr u64 kGzipTrailerBytes = 8;
// A name or comment longer than this is not one.
constexpr u64 kMaxGzipText = 64ULL * 1024;

bool gzipMagic(const std::uint8_t* h) { return h[0] == 0x1F && h[1] == 0x8B && h[2] == 8 && (h[3] & kGzipReserved) == 0; }

#ifdef RESURGO_HAVE_ZLIB

class Inflater {
public:
    Inflater() {
        if (inflateInit2(&z_, -MAX_WBITS) != Z_OK) CarveFormats::broken();
    }
    ~Inflater() { inflateEnd(&z_); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    z_stream& stream() { return z_; }

private:
    z_stream z_{};
};

// The member at pos: its length, or broken.
u64 gzipMember(CarveInput& in, u64 pos) {
    std::uint8_t head[kGzipFixedBytes];
    in.read(pos, head, sizeof head);
    if (!gzipMagic(head)) CarveFormats::broken();
    const std::uint8_t flags = head[3];
    u64 at = pos + kGzipFixedBytes;
    if ((flags & kGzipExtra) != 0) at += 2 + static_cast<u64>(in.le16(at));
    for (std::uint8_t text : {kGzipName, kGzipComment}) {
        if ((flags & text) == 0) continue;
        const u64 nul = in.find(at, at + kMaxGzipText, "\0", 1);
        if (nul == CarveInput::kNotFound) CarveFormats::broken();
        at = nul + 1;
    }
    if ((flags & kGzipHeaderCrc) != 0) {
        if ((CarveFormats::crc32(in, pos, at - pos) & 0xFFFF) != in.le16(at)) CarveFormats::broken();
        at += 2;
    }
    (void)kGzipText;
    Inflater inflater;
    z_stream& z = inflater.stream();
    std::vector<std::uint8_t> input(std::size_t{64} * 1024);
    std::vector<std::uint8_t> output(std::size_t{256} * 1024);
    uLong crc = crc32(0L, Z_NULL, 0);
    u64 consumed = 0;
    u64 produced = 0;
    for (int status = Z_OK; status != Z_STREAM_END;) {
        if (z.avail_in == 0) {
            const u64 from = at + consumed;
            if (!in.has(from, 1)) CarveFormats::broken();
            const std::size_t n = static_cast<std::size_t>(std::min<u64>(input.size(), in.limit() - from));
            in.read(from, input.data(), n);
            z.next_in = input.data();
            z.avail_in = static_cast<uInt>(n);
        }
        z.next_out = output.data();
        z.avail_out = static_cast<uInt>(output.size());
        const uInt before = z.avail_in;
        status = inflate(&z, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) CarveFormats::broken();
        consumed += before - z.avail_in;
        const std::size_t out = output.size() - z.avail_out;
        crc = crc32(crc, output.data(), static_cast<uInt>(out));
        produced += out;
        if (produced > CarveWalks::kMaxInflatedBytes) CarveFormats::broken();
    }
    const u64 trailer = at + consumed;
    if (in.le32(trailer) != static_cast<std::uint32_t>(crc) ||
        in.le32(trailer + 4) != static_cast<std::uint32_t>(produced)) {
        CarveFormats::broken();
    }
    return trailer + kGzipTrailerBytes - pos;
}

#endif

} // namespace

bool CarveWalks::gzipSupported() {
#ifdef RESURGO_HAVE_ZLIB
    return true;
#else
    return false;
#endif
}

bool CarveWalks::beginsGzip(const std::uint8_t* h) { return gzipSupported() && gzipMagic(h); }

u64 CarveWalks::measureGzip(CarveInput& in, const char**) {
#ifdef RESURGO_HAVE_ZLIB
    Steps steps;
    u64 pos = gzipMember(in, 0);
    // Members written one after the other are one file.
    for (;;) {
        steps.next();
        if (!in.has(pos, kGzipFixedBytes) || in.u8(pos) != 0x1F || in.u8(pos + 1) != 0x8B) return pos;
        try {
            pos += gzipMember(in, pos);
        } catch (const ErrorException&) {
            return pos;
        }
    }
#else
    (void)in;
    CarveFormats::broken();
#endif
}

} // namespace resurgo
