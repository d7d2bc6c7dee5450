#include "recovery/carve/CarveFormats.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "core/ErrorException.h"
#include "recovery/carve/CarveInput.h"
#include "recovery/carve/CarveWalks.h"

namespace resurgo {

namespace {

using u64 = std::uint64_t;
constexpr u64 kNone = CarveInput::kNotFound;
const char* const kDiagBroken = "CarveFormats::measure <Structure does not hold together>";
// How far a format whose end is found by a search (a trailer, an end
// record) is searched for: a candidate without one costs at most this.
constexpr u64 kMaxSearchBytes = 1ULL << 30;

u64 searchEnd(CarveInput& in) { return std::min<u64>(in.limit(), kMaxSearchBytes); }

[[noreturn]] void broken() { CarveFormats::broken(); }

// Counts the structures a walk visits; too many and it stops.
class Steps {
public:
    void next() {
        if (++count_ > CarveFormats::kMaxSteps) broken();
    }

private:
    std::uint32_t count_ = 0;
};

bool starts(const std::uint8_t* head, const char* text) { return std::memcmp(head, text, std::strlen(text)) == 0; }

// CRC-32 (ISO-HDLC, as in PNG and ZIP) and the Ogg page checksum.
struct CrcTables {
    std::array<std::uint32_t, 256> iso{};
    std::array<std::uint32_t, 256> ogg{};
    CrcTables() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            iso[i] = c;
            std::uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) != 0 ? (r << 1) ^ 0x04C11DB7u : r << 1;
            ogg[i] = r;
        }
    }
};
const CrcTables& crcTables() {
    static const CrcTables tables;
    return tables;
}

} // namespace

void CarveFormats::broken() { throw ErrorException(kErrUnrecognized, kDiagBroken); }

std::uint32_t CarveFormats::crc32(CarveInput& in, u64 pos, u64 length) {
    const auto& t = crcTables().iso;
    std::uint32_t c = 0xFFFFFFFFu;
    std::uint8_t buf[4096];
    while (length > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<u64>(sizeof buf, length));
        in.read(pos, buf, n);
        for (std::size_t i = 0; i < n; ++i) c = t[(c ^ buf[i]) & 0xFF] ^ (c >> 8);
        pos += n;
        length -= n;
    }
    return c ^ 0xFFFFFFFFu;
}

namespace {

std::uint32_t crc32Of(CarveInput& in, u64 pos, u64 length) { return CarveFormats::crc32(in, pos, length); }

bool isAlpha(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }
bool isSpace(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == 0; }
bool isFourCc(CarveInput& in, u64 pos) {
    for (u64 i = 0; i < 4; ++i) {
        const std::uint8_t c = in.u8(pos + i);
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

// JPEG: marker segments up to the scan, entropy-coded data up to the next
// marker, until the end of image. Segments are skipped whole, so the
// thumbnail an EXIF segment holds is never taken for the end.
u64 measureJpeg(CarveInput& in, const char**) {
    Steps steps;
    u64 pos = 2;
    bool frame = false;
    bool scan = false;
    for (;;) {
        steps.next();
        if (in.u8(pos) != 0xFF) broken();
        while (in.u8(pos + 1) == 0xFF) ++pos;
        const std::uint8_t m = in.u8(pos + 1);
        if (m == 0xD9) return frame && scan ? pos + 2 : 0;
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
            pos += 2;
            continue;
        }
        if (m == 0xD8 || m == 0x00) broken();
        const std::uint16_t length = in.be16(pos + 2);
        if (length < 2) broken();
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) frame = true;
        pos += 2 + static_cast<u64>(length);
        if (m != 0xDA) continue;
        if (!frame) broken();
        scan = true;
        // Entropy-coded data: a 0xFF is stuffed (followed by 0) or starts
        // a restart marker; anything else is the next marker.
        for (;;) {
            steps.next();
            pos = in.find(pos, in.limit(), "\xFF", 1);
            if (pos == kNone) broken();
            const std::uint8_t next = in.u8(pos + 1);
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7) || next == 0xFF) {
                pos += next == 0xFF ? 1 : 2;
                continue;
            }
            break;
        }
    }
}

// PNG: chunks, each with its CRC, from IHDR to IEND.
u64 measurePng(CarveInput& in, const char**) {
    Steps steps;
    u64 pos = 8;
    if (in.be32(pos) != 13 || !in.equals(pos + 4, "IHDR", 4)) broken();
    for (;;) {
        steps.next();
        const u64 length = in.be32(pos);
        if (length > 0x7FFFFFFFu) broken();
        for (u64 i = 4; i < 8; ++i) {
            if (!isAlpha(in.u8(pos + i))) broken();
        }
        if (crc32Of(in, pos + 4, length + 4) != in.be32(pos + 8 + length)) broken();
        const bool end = in.equals(pos + 4, "IEND", 4);
        pos += 12 + length;
        if (end) return pos;
    }
}

// GIF: sub-blocks until a zero-length one.
u64 skipSubBlocks(CarveInput& in, u64 pos, Steps& steps) {
    for (std::uint8_t n = in.u8(pos); n != 0; n = in.u8(pos)) {
        steps.next();
        pos += 1 + static_cast<u64>(n);
    }
    return pos + 1;
}

u64 measureGif(CarveInput& in, const char**) {
    Steps steps;
    const std::uint8_t flags = in.u8(10);
    u64 pos = 13 + ((flags & 0x80) != 0 ? 3ULL << ((flags & 7) + 1) : 0);
    bool image = false;
    for (;;) {
        steps.next();
        const std::uint8_t block = in.u8(pos);
        if (block == 0x3B) return image ? pos + 1 : 0;
        if (block == 0x21) {
            pos = skipSubBlocks(in, pos + 2, steps);
        } else if (block == 0x2C) {
            const std::uint8_t local = in.u8(pos + 9);
            pos += 10 + ((local & 0x80) != 0 ? 3ULL << ((local & 7) + 1) : 0);
            const std::uint8_t codeSize = in.u8(pos);
            if (codeSize < 2 || codeSize > 11) broken();
            pos = skipSubBlocks(in, pos + 1, steps);
            image = true;
        } else {
            broken();
        }
    }
}

// BMP: the size its file header states, checked against its info header.
u64 measureBmp(CarveInput& in, const char**) {
    const u64 size = in.le32(2);
    const u64 pixels = in.le32(10);
    const std::uint32_t info = in.le32(14);
    if (info != 12 && info != 40 && info != 52 && info != 56 && info != 64 && info != 108 && info != 124) broken();
    const std::uint16_t planes = in.le16(info == 12 ? 22 : 26);
    const std::uint16_t bits = in.le16(info == 12 ? 24 : 28);
    if (planes != 1 || (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)) broken();
    if (pixels < 14 + static_cast<u64>(info) || pixels >= size || !in.has(0, size)) broken();
    return size;
}

// A decimal number at pos (after blanks); pos moves past it.
u64 decimalAt(CarveInput& in, u64& pos) {
    while (in.has(pos, 1) && isSpace(in.u8(pos)) && in.u8(pos) != 0) ++pos;
    u64 value = 0;
    std::size_t digits = 0;
    while (in.has(pos, 1) && isDigit(in.u8(pos)) && digits < 19) {
        value = value * 10 + (in.u8(pos) - '0');
        ++pos;
        ++digits;
    }
    if (digits == 0) broken();
    return value;
}

// "N G obj" at pos.
bool objectAt(CarveInput& in, u64 pos) {
    try {
        decimalAt(in, pos);
        decimalAt(in, pos);
        while (in.u8(pos) == ' ') ++pos;
        return in.equals(pos, "obj", 3);
    } catch (const ErrorException&) {
        return false;
    }
}

// PDF: the last "%%EOF" whose startxref points at a cross-reference table
// or stream inside the file, following incremental updates while more
// objects or tables come right after one.
u64 measurePdf(CarveInput& in, const char**) {
    constexpr u64 kLookBack = 1024;
    Steps steps;
    u64 end = 0;
    u64 pos = 5;
    for (;;) {
        steps.next();
        const u64 eof = in.find(pos, searchEnd(in), "%%EOF", 5);
        if (eof == kNone) break;
        pos = eof + 5;
        const u64 sx = in.findLast(eof > kLookBack ? eof - kLookBack : 0, eof, "startxref", 9);
        if (sx == kNone) continue;
        u64 at = sx + 9;
        const u64 xref = decimalAt(in, at);
        if (xref >= sx || !(in.equals(xref, "xref", 4) || objectAt(in, xref))) continue;
        end = pos;
        if (in.equals(end, "\r\n", 2)) {
            end += 2;
        } else if (in.has(end, 1) && (in.u8(end) == '\n' || in.u8(end) == '\r')) {
            end += 1;
        }
        u64 next = end;
        while (in.has(next, 1) && (in.u8(next) == '\r' || in.u8(next) == '\n' || in.u8(next) == ' ')) ++next;
        if (!(in.equals(next, "xref", 4) || objectAt(in, next))) break;
    }
    return end;
}

// What lives in a ZIP, told by its first entries.
const char* zipKind(CarveInput& in, u64 centralAt, std::uint32_t entries) {
    const u64 nameLength = in.le16(26);
    if (in.equals(30, "mimetype", 8) && nameLength == 8) {
        std::uint8_t text[48] = {};
        const u64 at = 30 + nameLength + in.le16(28);
        const std::size_t n = static_cast<std::size_t>(std::min<u64>(sizeof text, in.le32(18)));
        in.read(at, text, n);
        const std::string mime(reinterpret_cast<const char*>(text), n);
        if (mime == "application/epub+zip") return "epub";
        if (mime.rfind("application/vnd.oasis.opendocument.text", 0) == 0) return "odt";
        if (mime.rfind("application/vnd.oasis.opendocument.spreadsheet", 0) == 0) return "ods";
        if (mime.rfind("application/vnd.oasis.opendocument.presentation", 0) == 0) return "odp";
    }
    u64 pos = centralAt;
    for (std::uint32_t i = 0; i < entries && i < 64; ++i) {
        const u64 length = in.le16(pos + 28);
        if (in.equals(pos + 46, "word/", 5)) return "docx";
        if (in.equals(pos + 46, "xl/", 3)) return "xlsx";
        if (in.equals(pos + 46, "ppt/", 4)) return "pptx";
        if (length == 20 && in.equals(pos + 46, "META-INF/MANIFEST.MF", 20)) return "jar";
        pos += 46 + length + in.le16(pos + 30) + in.le16(pos + 32);
    }
    return "zip";
}

// The central directory at centralAt of bytes bytes, entries entries long,
// names local headers inside the file only.
bool centralHolds(CarveInput& in, u64 centralAt, u64 bytes, std::uint32_t entries) {
    u64 pos = centralAt;
    for (std::uint32_t i = 0; i < entries; ++i) {
        if (pos - centralAt + 46 > bytes || !in.equals(pos, "PK\x01\x02", 4)) return false;
        const u64 local = in.le32(pos + 42);
        if (local >= centralAt || !in.equals(local, "PK\x03\x04", 4)) return false;
        if (i == 0 && local != 0) return false;
        pos += 46 + static_cast<u64>(in.le16(pos + 28)) + in.le16(pos + 30) + in.le16(pos + 32);
    }
    return pos == centralAt + bytes;
}

// ZIP: the end-of-central-directory record whose directory lies right
// before it and starts with the file's first entry.
u64 measureZip(CarveInput& in, const char** subtype) {
    Steps steps;
    for (u64 pos = 30;;) {
        steps.next();
        const u64 end = in.find(pos, searchEnd(in), "PK\x05\x06", 4);
        if (end == kNone) return 0;
        pos = end + 1;
        if (!in.has(end, 22)) return 0;
        const std::uint32_t entries = in.le16(end + 10);
        const u64 bytes = in.le32(end + 12);
        const u64 centralAt = in.le32(end + 16);
        if (entries == 0 || centralAt + bytes != end || !centralHolds(in, centralAt, bytes, entries)) continue;
        *subtype = zipKind(in, centralAt, entries);
        return end + 22 + in.le16(end + 20);
    }
}

// RIFF (WAV, AVI, WebP): the size the header states, its chunks filling
// it exactly.
u64 measureRiff(CarveInput& in, const char** subtype) {
    const u64 total = static_cast<u64>(in.le32(4)) + 8;
    if (total < 12 || !in.has(0, total) || !isFourCc(in, 8)) broken();
    Steps steps;
    u64 pos = 12;
    while (pos + 8 <= total) {
        steps.next();
        if (!isFourCc(in, pos)) broken();
        const u64 length = in.le32(pos + 4);
        pos += 8 + length + (length & 1);
    }
    if (pos != total && pos != total + 1) broken();
    if (in.equals(8, "WAVE", 4)) *subtype = "wav";
    if (in.equals(8, "AVI ", 4)) *subtype = "avi";
    if (in.equals(8, "WEBP", 4)) *subtype = "webp";
    return total;
}

// Ogg: pages with their checksums, until every logical stream begun has
// ended.
u64 measureOgg(CarveInput& in, const char**) {
    const auto& table = crcTables().ogg;
    std::vector<std::uint32_t> open;
    std::vector<std::uint8_t> page(27 + 255 + 255 * 255);
    Steps steps;
    u64 pos = 0;
    for (;;) {
        steps.next();
        if (!in.equals(pos, "OggS", 4) || in.u8(pos + 4) != 0) broken();
        const std::uint8_t type = in.u8(pos + 5);
        const std::uint32_t serial = in.le32(pos + 14);
        const std::size_t segments = in.u8(pos + 26);
        std::size_t body = 0;
        for (std::size_t i = 0; i < segments; ++i) body += in.u8(pos + 27 + i);
        const std::size_t bytes = 27 + segments + body;
        in.read(pos, page.data(), bytes);
        std::memset(page.data() + 22, 0, 4);
        std::uint32_t crc = 0;
        for (std::size_t i = 0; i < bytes; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ page[i]) & 0xFF];
        if (crc != in.le32(pos + 22)) broken();
        const auto it = std::find(open.begin(), open.end(), serial);
        if ((type & 2) != 0) {
            if (it != open.end() || open.size() >= 64) broken();
            open.push_back(serial);
        } else if (it == open.end()) {
            broken();
        }
        pos += bytes;
        if ((type & 4) != 0) {
            open.erase(std::find(open.begin(), open.end(), serial));
            if (open.empty()) return pos;
        }
    }
}

// MPEG audio: the length of the frame whose header is h, or 0.
u64 mpegFrameBytes(std::uint32_t h) {
    static const std::uint16_t kRates[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // version 1, layer I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // version 1, layer II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // version 1, layer III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // version 2, layer I
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // version 2, layers II, III
    };
    static const std::uint32_t kSampleRates[3] = {44100, 48000, 32000};
    if ((h >> 21) != 0x7FF) return 0;
    const std::uint32_t version = (h >> 19) & 3;  // 3: 1, 2: 2, 0: 2.5
    const std::uint32_t layer = (h >> 17) & 3;    // 3: I, 2: II, 1: III
    const std::uint32_t rateIndex = (h >> 12) & 15;
    const std::uint32_t sampleIndex = (h >> 10) & 3;
    if (version == 1 || layer == 0 || rateIndex == 0 || rateIndex == 15 || sampleIndex == 3) return 0;
    const bool one = version == 3;
    const std::size_t row = one ? 3 - layer : (layer == 3 ? 3 : 4);
    const u64 bitRate = kRates[row][rateIndex] * 1000ULL;
    const u64 sampleRate = kSampleRates[sampleIndex] >> (one ? 0 : version == 2 ? 1 : 2);
    const u64 padding = (h >> 9) & 1;
    if (layer == 3) return (12 * bitRate / sampleRate + padding) * 4;
    return (layer == 1 && !one ? 72 : 144) * bitRate / sampleRate + padding;
}

// MP3: an ID3v2 tag, frames of one stream back to back, an ID3v1 tag.
u64 measureMp3(CarveInput& in, const char**) {
    u64 pos = 0;
    const bool tagged = in.equals(0, "ID3", 3);
    if (tagged) {
        u64 size = 0;
        for (u64 i = 6; i < 10; ++i) {
            const std::uint8_t b = in.u8(i);
            if ((b & 0x80) != 0) broken();
            size = size << 7 | b;
        }
        pos = 10 + size + ((in.u8(5) & 0x10) != 0 ? 10 : 0);
        while (in.has(pos, 1) && in.u8(pos) == 0 && pos < 1 << 20) ++pos;  // padding written past the tag
    }
    Steps steps;
    u64 frames = 0;
    std::uint32_t stream = 0;
    while (in.has(pos, 4)) {
        steps.next();
        const std::uint32_t h = in.be32(pos);
        const u64 bytes = mpegFrameBytes(h);
        if (bytes < 4 || (frames > 0 && (h & 0xFFFE0C00u) != stream) || !in.has(pos, bytes)) break;
        stream = h & 0xFFFE0C00u;
        pos += bytes;
        ++frames;
    }
    if (frames < (tagged ? 2u : 16u)) return 0;
    if (in.equals(pos, "TAG", 3) && in.has(pos, 128)) pos += 128;
    return pos;
}

bool knownTopBox(CarveInput& in, u64 pos) {
    static const char* const kBoxes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "meta",
                                         "pdin", "moof", "mfra", "styp", "sidx", "udta", "pnot", "prfl"};
    for (const char* box : kBoxes) {
        if (in.equals(pos, box, 4)) return true;
    }
    return false;
}

// MP4, MOV, M4A, 3GP: top-level boxes back to back, one of them the movie.
u64 measureMp4(CarveInput& in, const char** subtype) {
    Steps steps;
    u64 pos = 0;
    bool movie = false;
    while (in.has(pos, 8) && knownTopBox(in, pos + 4)) {
        steps.next();
        u64 size = in.be32(pos);
        u64 header = 8;
        if (size == 1) {
            size = in.be64(pos + 8);
            header = 16;
        }
        if (size < header || !in.has(pos, size)) return 0;
        if (in.equals(pos + 4, "moov", 4)) movie = true;
        pos += size;
    }
    if (!movie) return 0;
    if (in.equals(8, "qt  ", 4)) *subtype = "mov";
    if (in.equals(8, "M4A ", 4)) *subtype = "m4a";
    if (in.equals(8, "3gp", 3)) *subtype = "3gp";
    return pos;
}

// MPEG program stream: packs, system headers and packets back to back,
// to the end code (or the last whole packet).
u64 measureMpeg(CarveInput& in, const char**) {
    Steps steps;
    u64 pos = 0;
    u64 packs = 0;
    while (in.has(pos, 6) && in.u8(pos) == 0 && in.u8(pos + 1) == 0 && in.u8(pos + 2) == 1) {
        steps.next();
        const std::uint8_t code = in.u8(pos + 3);
        u64 bytes = 0;
        if (code == 0xB9) return pos + 4;
        if (code == 0xBA) {
            const std::uint8_t mark = in.u8(pos + 4);
            if ((mark >> 6) == 1) {
                bytes = 14 + (in.u8(pos + 13) & 7);
            } else if ((mark >> 4) == 2) {
                bytes = 12;
            } else {
                break;
            }
            ++packs;
        } else if (code >= 0xBB) {
            bytes = 6 + static_cast<u64>(in.be16(pos + 4));
        } else {
            break;
        }
        if (!in.has(pos, bytes)) break;
        pos += bytes;
    }
    return packs >= 2 ? pos : 0;
}

// PBM/PGM/PPM (binary): the header's width, height and maximum value give
// the raster's length.
u64 measurePnm(CarveInput& in, const char** subtype) {
    const std::uint8_t kind = in.u8(1);
    u64 pos = 2;
    u64 values[3] = {0, 0, 1};
    const int count = kind == '4' ? 2 : 3;
    for (int i = 0; i < count; ++i) {
        for (;;) {
            const std::uint8_t c = in.u8(pos);
            if (c == '#') {
                const u64 line = in.find(pos, pos + 4096, "\n", 1);
                if (line == kNone) broken();
                pos = line + 1;
            } else if (isSpace(c) && c != 0) {
                ++pos;
            } else {
                break;
            }
        }
        if (!isDigit(in.u8(pos))) broken();
        values[i] = decimalAt(in, pos);
    }
    if (!isSpace(in.u8(pos)) || in.u8(pos) == 0) broken();
    ++pos;
    const u64 width = values[0], height = values[1], maximum = values[2];
    if (width == 0 || height == 0 || width > 1u << 20 || height > 1u << 20 || maximum == 0 || maximum > 65535) broken();
    const u64 sample = maximum > 255 ? 2 : 1;
    const u64 raster = kind == '4' ? (width + 7) / 8 * height : width * height * sample * (kind == '6' ? 3 : 1);
    *subtype = kind == '4' ? "pbm" : kind == '5' ? "pgm" : "ppm";
    if (!in.has(pos, raster)) broken();
    return pos + raster;
}

// SQLite: page size times page count, when the header's count is valid.
u64 measureSqlite(CarveInput& in, const char**) {
    const u64 stated = in.be16(16);
    const u64 page = stated == 1 ? 65536 : stated;
    if (page < 512 || (page & (page - 1)) != 0) broken();
    const u64 pages = in.be32(28);
    if (pages == 0 || in.be32(24) != in.be32(92)) broken();
    if (!in.has(0, page * pages)) broken();
    return page * pages;
}

// 7z: the start header (with its CRC) says where the end header lies.
u64 measure7z(CarveInput& in, const char**) {
    if (crc32Of(in, 12, 20) != in.le32(8)) broken();
    const u64 offset = in.le64(12);
    const u64 length = in.le64(20);
    if (offset > in.limit() || length > in.limit() || !in.has(32 + offset, length)) broken();
    return 32 + offset + length;
}

// An EBML variable-length number at pos; width gets its length.
u64 ebmlNumber(CarveInput& in, u64 pos, u64& width, bool keepMarker) {
    const std::uint8_t first = in.u8(pos);
    if (first == 0) broken();
    width = 1;
    while ((first & (0x80 >> (width - 1))) == 0) ++width;
    u64 value = keepMarker ? first : first & (0xFF >> width);
    bool allOnes = value == (0xFFULL >> width);
    for (u64 i = 1; i < width; ++i) {
        const std::uint8_t b = in.u8(pos + i);
        allOnes = allOnes && b == 0xFF;
        value = value << 8 | b;
    }
    if (!keepMarker && allOnes) broken();  // unknown size
    return value;
}

// Matroska/WebM: the EBML header and one segment of known size.
u64 measureMkv(CarveInput& in, const char** subtype) {
    u64 width = 0;
    const u64 headerBytes = ebmlNumber(in, 4, width, false);
    const u64 segment = 4 + width + headerBytes;
    if (headerBytes > 4096) broken();
    if (in.find(4 + width, segment, "webm", 4) != kNone) *subtype = "webm";
    u64 idWidth = 0;
    if (ebmlNumber(in, segment, idWidth, true) != 0x18538067) broken();
    const u64 bytes = ebmlNumber(in, segment + idWidth, width, false);
    const u64 end = segment + idWidth + width;
    if (!in.has(end, bytes)) broken();
    return end + bytes;
}

// What an OLE2 compound file holds, told by the names of the streams and
// storages right under its root: a Word, Excel, PowerPoint document or an
// Outlook message; "ole" when none fits. table lists the sectors of the
// allocation table.
const char* oleKind(CarveInput& in, const std::vector<std::uint32_t>& table, u64 sector) {
    constexpr std::uint32_t kLastRegular = 0xFFFFFFFAu;
    constexpr u64 kEntryBytes = 128;
    constexpr u64 kMaxDirectorySectors = 256;
    constexpr std::uint32_t kNoSibling = 0xFFFFFFFFu;
    const u64 perSector = sector / 4;
    // The directory's sectors, following the allocation table's chain.
    std::vector<u64> sectors;
    for (std::uint32_t s = in.le32(48); s <= kLastRegular && sectors.size() < kMaxDirectorySectors;) {
        if (std::find(sectors.begin(), sectors.end(), s) != sectors.end()) break;
        sectors.push_back(s);
        if (s / perSector >= table.size()) break;
        s = in.le32((static_cast<u64>(table[s / perSector]) + 1) * sector + 4 * (s % perSector));
    }
    const u64 perDirectorySector = sector / kEntryBytes;
    const u64 entries = sectors.size() * perDirectorySector;
    auto entryAt = [&](u64 i) { return (sectors[i / perDirectorySector] + 1) * sector + (i % perDirectorySector) * kEntryBytes; };
    if (entries == 0) return "ole";
    // The root's children: a tree through the left and right sibling links.
    std::vector<std::uint32_t> pending{in.le32(entryAt(0) + 76)};
    std::vector<bool> seen(static_cast<std::size_t>(entries), false);
    bool word = false, excel = false, powerPoint = false, message = false;
    while (!pending.empty()) {
        const std::uint32_t i = pending.back();
        pending.pop_back();
        if (i == kNoSibling || i >= entries || seen[i]) continue;
        seen[i] = true;
        const u64 at = entryAt(i);
        const u64 nameBytes = std::min<u64>(in.le16(at + 64), 64);
        std::string name;
        for (u64 k = 0; k + 1 < nameBytes; k += 2) {
            const std::uint16_t c = in.le16(at + k);
            if (c == 0) break;
            name += c < 0x80 ? static_cast<char>(c) : '?';
        }
        word = word || name == "WordDocument";
        excel = excel || name == "Workbook" || name == "Book";
        powerPoint = powerPoint || name == "PowerPoint Document";
        message = message || name.rfind("__substg1.0_", 0) == 0 || name == "__properties_version1.0";
        pending.push_back(in.le32(at + 68));
        pending.push_back(in.le32(at + 72));
    }
    if (word) return "doc";
    if (excel) return "xls";
    if (powerPoint) return "ppt";
    if (message) return "msg";
    return "ole";
}

// OLE2 compound file: one past the last sector its allocation table uses.
u64 measureOle(CarveInput& in, const char** subtype) {
    constexpr std::uint32_t kFree = 0xFFFFFFFFu;
    constexpr std::uint32_t kEnd = 0xFFFFFFFEu;
    const std::uint16_t shift = in.le16(30);
    if ((shift != 9 && shift != 12) || in.le16(28) != 0xFFFE) broken();
    const u64 sector = 1ULL << shift;
    const u64 tableSectors = in.le32(44);
    const u64 perSector = sector / 4;
    if (tableSectors == 0 || tableSectors > in.limit() / sector) broken();
    // Where the allocation table's sectors are: 109 in the header, the
    // rest in a chain of further sectors.
    std::vector<std::uint32_t> table;
    for (u64 i = 0; i < 109 && table.size() < tableSectors; ++i) table.push_back(in.le32(76 + 4 * i));
    Steps steps;
    for (std::uint32_t next = in.le32(68); table.size() < tableSectors && next != kEnd && next != kFree;) {
        steps.next();
        const u64 at = (static_cast<u64>(next) + 1) * sector;
        for (u64 i = 0; i + 1 < perSector && table.size() < tableSectors; ++i) table.push_back(in.le32(at + 4 * i));
        next = in.le32(at + sector - 4);
    }
    if (table.size() != tableSectors) broken();
    u64 last = 0;
    for (u64 t = 0; t < table.size(); ++t) {
        const u64 at = (static_cast<u64>(table[t]) + 1) * sector;
        for (u64 i = 0; i < perSector; ++i) {
            if (in.le32(at + 4 * i) != kFree) last = std::max(last, t * perSector + i + 1);
        }
    }
    if (last == 0 || !in.has(0, (last + 1) * sector)) broken();
    *subtype = oleKind(in, table, sector);
    return (last + 1) * sector;
}

// TIFF (and the camera raws built on it): the furthest byte any IFD, value
// or strip/tile reaches, following IFD chains and sub-IFDs, each IFD once.
class TiffWalk {
public:
    TiffWalk(CarveInput& in, bool little) : in_(in), little_(little) {}
    u64 run() {
        pending_.push_back(u32(4));
        while (!pending_.empty()) {
            const u64 ifd = pending_.back();
            pending_.pop_back();
            if (ifd == 0 || std::find(seen_.begin(), seen_.end(), ifd) != seen_.end()) continue;
            if (seen_.size() >= 256) broken();
            seen_.push_back(ifd);
            walkIfd(ifd);
        }
        return end_;
    }

private:
    std::uint16_t u16(u64 pos) { return little_ ? in_.le16(pos) : in_.be16(pos); }
    std::uint32_t u32(u64 pos) { return little_ ? in_.le32(pos) : in_.be32(pos); }
    void reach(u64 pos) {
        if (!in_.has(0, pos)) broken();
        end_ = std::max(end_, pos);
    }
    // The count values of type at value (inline or at an offset).
    std::vector<u64> values(std::uint16_t type, u64 count, u64 value) {
        const u64 width = type == 3 ? 2 : 4;
        if (count > 65536) broken();
        const u64 at = count * width <= 4 ? value : u32(value);
        std::vector<u64> out;
        for (u64 i = 0; i < count; ++i) out.push_back(width == 2 ? u16(at + 2 * i) : u32(at + 4 * i));
        return out;
    }
    void walkIfd(u64 ifd) {
        static const u64 kTypeBytes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
        const u64 entries = u16(ifd);
        reach(ifd + 2 + 12 * entries + 4);
        std::vector<u64> offsets;
        std::vector<u64> counts;
        for (u64 i = 0; i < entries; ++i) {
            const u64 e = ifd + 2 + 12 * i;
            const std::uint16_t tag = u16(e);
            const std::uint16_t type = u16(e + 2);
            const u64 count = u32(e + 4);
            if (type == 0 || type > 13) continue;
            const u64 bytes = kTypeBytes[type] * count;
            if (bytes > 4) reach(u32(e + 8) + bytes);
            if (tag == 273 || tag == 324) offsets = values(type, count, e + 8);
            if (tag == 279 || tag == 325) counts = values(type, count, e + 8);
            if (tag == 330 || tag == 34665) {
                for (u64 sub : values(type, count, e + 8)) pending_.push_back(sub);
            }
        }
        if (offsets.size() != counts.size()) broken();
        for (std::size_t i = 0; i < offsets.size(); ++i) reach(offsets[i] + counts[i]);
        pending_.push_back(u32(ifd + 2 + 12 * entries));
    }

    CarveInput& in_;
    bool little_;
    u64 end_ = 8;
    std::vector<u64> pending_;
    std::vector<u64> seen_;
};

u64 measureTiff(CarveInput& in, const char**) { return TiffWalk(in, in.u8(0) == 'I').run(); }

// XCF: the furthest byte its layers, channels, hierarchies, levels and
// tiles reach; a tile's length comes from decoding its RLE (uncompressed
// tiles have a fixed length; others do not hold together here).
class XcfWalk {
public:
    explicit XcfWalk(CarveInput& in) : in_(in) {}
    u64 run() {
        const std::uint8_t v = in_.u8(12);
        const u64 version = in_.equals(9, "file", 4) ? 0 : (in_.u8(10) - '0') * 100 + (in_.u8(11) - '0') * 10 + (v - '0');
        wide_ = version >= 11;
        u64 pos = 14 + 12 + (version >= 4 ? 4 : 0);
        pos = properties(pos, true);
        std::vector<u64> layers = pointers(pos);
        std::vector<u64> channels = pointers(pos);
        for (u64 layer : layers) walkDrawable(layer, true);
        for (u64 channel : channels) walkDrawable(channel, false);
        return end_;
    }

private:
    u64 pointer(u64 pos) { return wide_ ? in_.be64(pos) : in_.be32(pos); }
    void reach(u64 pos) {
        if (!in_.has(0, pos)) broken();
        end_ = std::max(end_, pos);
    }
    u64 properties(u64 pos, bool image) {
        for (;;) {
            steps_.next();
            const std::uint32_t type = in_.be32(pos);
            const u64 length = in_.be32(pos + 4);
            if (image && type == 17 && length == 1) compression_ = in_.u8(pos + 8);
            pos += 8 + length;
            reach(pos);
            if (type == 0) return pos;
        }
    }
    std::vector<u64> pointers(u64& pos) {
        std::vector<u64> out;
        const u64 width = wide_ ? 8 : 4;
        for (u64 p = pointer(pos); p != 0; p = pointer(pos)) {
            steps_.next();
            out.push_back(p);
            pos += width;
        }
        pos += width;
        reach(pos);
        return out;
    }
    void walkDrawable(u64 pos, bool layer) {
        pos += layer ? 12 : 8;
        pos += 4 + static_cast<u64>(in_.be32(pos));  // name
        pos = properties(pos, false);
        const u64 hierarchy = pointer(pos);
        const u64 mask = layer ? pointer(pos + (wide_ ? 8 : 4)) : 0;
        reach(pos + static_cast<std::uint64_t>(wide_ ? 8 : 4) * (layer ? 2 : 1));
        walkHierarchy(hierarchy);
        if (mask != 0) walkDrawable(mask, false);
    }
    void walkHierarchy(u64 pos) {
        const u64 bpp = in_.be32(pos + 8);
        if (bpp == 0 || bpp > 16) broken();
        pos += 12;
        const std::vector<u64> levels = pointers(pos);
        for (std::size_t i = 0; i < levels.size(); ++i) {
            const u64 level = levels[i];
            const u64 width = in_.be32(level);
            const u64 height = in_.be32(level + 4);
            u64 at = level + 8;
            if (i > 0 && in_.be32(at) == 0) {
                // The smaller levels are written empty, their list ended
                // by 32 zero bits whatever the pointer size.
                reach(at + 4);
                continue;
            }
            const std::vector<u64> tiles = pointers(at);
            const u64 across = (width + 63) / 64;
            if (tiles.size() != across * ((height + 63) / 64)) broken();
            for (std::size_t t = 0; t < tiles.size(); ++t) {
                const u64 w = t % across == across - 1 && width % 64 != 0 ? width % 64 : 64;
                const u64 h = t / across == tiles.size() / across - 1 && height % 64 != 0 ? height % 64 : 64;
                reach(tileEnd(tiles[t], w * h, bpp));
            }
        }
    }
    u64 tileEnd(u64 pos, u64 pixels, u64 bpp) {
        if (compression_ == 0) return pos + pixels * bpp;
        if (compression_ != 1) broken();
        for (u64 channel = 0; channel < bpp; ++channel) {
            for (u64 done = 0; done < pixels;) {
                steps_.next();
                u64 n = in_.u8(pos);
                if (n >= 128) {
                    n = n == 128 ? in_.be16(pos + 1) : 256 - n;
                    pos += (in_.u8(pos) == 128 ? 3 : 1) + n;
                } else {
                    const bool longRun = n == 127;
                    n = longRun ? in_.be16(pos + 1) : n + 1;
                    pos += longRun ? 4 : 2;
                }
                done += n;
                if (n == 0 || done > pixels) broken();
            }
        }
        return pos;
    }

    CarveInput& in_;
    Steps steps_;
    bool wide_ = false;
    std::uint8_t compression_ = 0;
    u64 end_ = 0;
};

u64 measureXcf(CarveInput& in, const char**) { return XcfWalk(in).run(); }

// A script ("#!"): text up to the first NUL byte (the rest of its last
// cluster); any other control byte and it is no script.
u64 measureScript(CarveInput& in, const char**) {
    constexpr u64 kMaxBytes = 1 << 20;
    std::uint8_t buf[4096];
    for (u64 pos = 0; pos < kMaxBytes && in.has(pos, 1);) {
        const std::size_t n = static_cast<std::size_t>(std::min<u64>(sizeof buf, in.limit() - pos));
        in.read(pos, buf, n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t c = buf[i];
            if (c == 0) return pos + i;
            if (c < 0x20 && c != '\n' && c != '\r' && c != '\t') return 0;
        }
        pos += n;
    }
    return 0;
}

// The begins tests.
bool beginsJpeg(const std::uint8_t* h) { return h[0] == 0xFF && h[1] == 0xD8 && h[2] == 0xFF && h[3] >= 0xC0; }
bool beginsPng(const std::uint8_t* h) { return starts(h, "\x89PNG\r\n\x1A\n"); }
bool beginsGif(const std::uint8_t* h) { return starts(h, "GIF87a") || starts(h, "GIF89a"); }
bool beginsBmp(const std::uint8_t* h) { return h[0] == 'B' && h[1] == 'M' && h[6] == 0 && h[7] == 0 && h[8] == 0 && h[9] == 0; }
bool beginsPdf(const std::uint8_t* h) { return starts(h, "%PDF-"); }
bool beginsZip(const std::uint8_t* h) { return starts(h, "PK\x03\x04"); }
bool beginsRiff(const std::uint8_t* h) { return starts(h, "RIFF"); }
bool beginsOgg(const std::uint8_t* h) { return starts(h, "OggS") && h[4] == 0 && (h[5] & 2) != 0; }
bool beginsMp3(const std::uint8_t* h) {
    if (starts(h, "ID3")) return h[3] >= 2 && h[3] <= 4 && h[4] != 0xFF;
    const std::uint32_t header = static_cast<std::uint32_t>(h[0]) << 24 | static_cast<std::uint32_t>(h[1]) << 16 |
                                 static_cast<std::uint32_t>(h[2]) << 8 | h[3];
    return mpegFrameBytes(header) != 0;
}
bool beginsMp4(const std::uint8_t* h) {
    const std::uint32_t size = static_cast<std::uint32_t>(h[0]) << 24 | static_cast<std::uint32_t>(h[1]) << 16 |
                               static_cast<std::uint32_t>(h[2]) << 8 | h[3];
    return std::memcmp(h + 4, "ftyp", 4) == 0 && size >= 16 && size <= 4096;
}
bool beginsMpeg(const std::uint8_t* h) { return h[0] == 0 && h[1] == 0 && h[2] == 1 && h[3] == 0xBA; }
bool beginsPnm(const std::uint8_t* h) { return h[0] == 'P' && h[1] >= '4' && h[1] <= '6' && isSpace(h[2]) && h[2] != 0; }
bool beginsSqlite(const std::uint8_t* h) { return std::memcmp(h, "SQLite format 3\0", 16) == 0; }
bool begins7z(const std::uint8_t* h) { return std::memcmp(h, "7z\xBC\xAF\x27\x1C", 6) == 0; }
bool beginsMkv(const std::uint8_t* h) { return std::memcmp(h, "\x1A\x45\xDF\xA3", 4) == 0; }
bool beginsOle(const std::uint8_t* h) { return std::memcmp(h, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) == 0; }
bool beginsTiff(const std::uint8_t* h) { return starts(h, "II*") ? h[3] == 0 : std::memcmp(h, "MM\0*", 4) == 0; }
bool beginsXcf(const std::uint8_t* h) { return starts(h, "gimp xcf "); }
bool beginsScript(const std::uint8_t* h) { return h[0] == '#' && h[1] == '!' && (h[2] == '/' || h[2] == ' '); }

const CARVE_FORMAT kFormats[] = {
    {"jpg", 4, beginsJpeg, measureJpeg},    {"png", 8, beginsPng, measurePng},
    {"gif", 6, beginsGif, measureGif},      {"bmp", 10, beginsBmp, measureBmp},
    {"tif", 4, beginsTiff, measureTiff},    {"pdf", 5, beginsPdf, measurePdf},
    {"zip", 4, beginsZip, measureZip},      {"ole", 8, beginsOle, measureOle},
    {"sqlite", 16, beginsSqlite, measureSqlite}, {"7z", 6, begins7z, measure7z},
    {"riff", 4, beginsRiff, measureRiff},   {"ogg", 6, beginsOgg, measureOgg},
    {"mp4", 8, beginsMp4, measureMp4},      {"mkv", 4, beginsMkv, measureMkv},
    {"mpg", 4, beginsMpeg, measureMpeg},    {"pnm", 3, beginsPnm, measurePnm},
    {"xcf", 9, beginsXcf, measureXcf},      {"sh", 3, beginsScript, measureScript},
    {"mp3", 4, beginsMp3, measureMp3},      {"flac", 8, CarveWalks::beginsFlac, CarveWalks::measureFlac},
    {"rar", 8, CarveWalks::beginsRar, CarveWalks::measureRar},
    {"gz", 4, CarveWalks::beginsGzip, CarveWalks::measureGzip},
};

} // namespace

const CARVE_FORMAT* CarveFormats::table() { return kFormats; }

std::size_t CarveFormats::count() { return sizeof kFormats / sizeof kFormats[0]; }

const CARVE_FORMAT* CarveFormats::byType(const char* type) {
    for (const CARVE_FORMAT& f : kFormats) {
        if (std::strcmp(f.type, type) == 0) return &f;
    }
    return nullptr;
}

} // namespace resurgo
