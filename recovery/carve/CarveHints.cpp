#include "recovery/carve/CarveHints.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#ifdef RESURGO_HAVE_ZLIB
#include <zlib.h>
#endif

#include "core/ErrorException.h"
#include "core/TextUtf.h"
#include "recovery/carve/CarveInput.h"

namespace resurgo {

namespace {

using u64 = std::uint64_t;
constexpr u64 kNone = CarveInput::kNotFound;
// EXIF tags: the Exif IFD's place in IFD0, DateTimeOriginal in it.
constexpr std::uint16_t kExifIfdTag = 0x8769;
constexpr std::uint16_t kDateTimeOriginalTag = 0x9003;
constexpr u64 kExifTimeBytes = 19;  // "YYYY:MM:DD HH:MM:SS"
// JPEG markers looked through for the EXIF segment, at most.
constexpr int kMaxJpegSegments = 32;
// Central directory entries looked through for docProps/core.xml.
constexpr std::uint32_t kMaxZipEntries = 4096;
constexpr u64 kMaxCoreXmlBytes = 64ULL * 1024;
constexpr u64 kMaxLiteralBytes = 4096;

bool isDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }
bool isBlank(std::uint8_t c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == 0; }

// Latin-1 bytes (PDFDocEncoding, close enough) as UTF-8.
std::string latin1(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) TextUtf::appendUtf8(out, c);
    return out;
}

// text cut to at most kMaxTitleBytes, never inside a character, blanks
// around trimmed.
std::string titleOf(std::string text) {
    if (text.size() > CarveHints::kMaxTitleBytes) {
        std::size_t cut = CarveHints::kMaxTitleBytes;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text.resize(cut);
    }
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// A PDF string at pos (literal or hexadecimal) as UTF-8: UTF-16BE after a
// byte order mark, else PDFDocEncoding.
std::string pdfString(CarveInput& in, u64 pos, u64 end) {
    while (pos < end && isBlank(in.u8(pos))) ++pos;
    std::string bytes;
    if (pos < end && in.u8(pos) == '(') {
        int depth = 1;
        for (++pos; pos < end && bytes.size() < kMaxLiteralBytes; ++pos) {
            std::uint8_t c = in.u8(pos);
            if (c == '\\' && pos + 1 < end) {
                c = in.u8(++pos);
                if (c >= '0' && c <= '7') {
                    unsigned value = 0;
                    for (int k = 0; k < 3 && pos < end && in.u8(pos) >= '0' && in.u8(pos) <= '7'; ++k, ++pos) {
                        value = value * 8 + (in.u8(pos) - '0');
                    }
                    --pos;
                    bytes += static_cast<char>(value & 0xFF);
                    continue;
                }
                if (c == '\r' || c == '\n') continue;  // a line continued
                static const char kFrom[] = "nrtbf";
                static const char kTo[] = "\n\r\t\b\f";
                const char* at = std::strchr(kFrom, c);
                bytes += at != nullptr && c != 0 ? kTo[at - kFrom] : static_cast<char>(c);
                continue;
            }
            if (c == '(') ++depth;
            if (c == ')' && --depth == 0) break;
            bytes += static_cast<char>(c);
        }
        if (depth != 0) return "";
    } else if (pos < end && in.u8(pos) == '<') {
        int high = -1;
        for (++pos; pos < end && in.u8(pos) != '>' && bytes.size() < kMaxLiteralBytes; ++pos) {
            const std::uint8_t c = in.u8(pos);
            int v = isDigit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
            if (v < 0) {
                if (isBlank(c)) continue;
                return "";
            }
            if (high < 0) {
                high = v;
            } else {
                bytes += static_cast<char>(high * 16 + v);
                high = -1;
            }
        }
    } else {
        return "";
    }
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE && static_cast<unsigned char>(bytes[1]) == 0xFF) {
        std::u16string units;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) << 8 | static_cast<unsigned char>(bytes[i + 1]));
        }
        return TextUtf::fromUtf16(units);
    }
    return latin1(bytes);
}

// A decimal number at pos; pos moves past it. false when none.
bool numberAt(CarveInput& in, u64& pos, u64 end, u64& value) {
    while (pos < end && isBlank(in.u8(pos))) ++pos;
    value = 0;
    int digits = 0;
    for (; pos < end && isDigit(in.u8(pos)) && digits < 12; ++pos, ++digits) value = value * 10 + (in.u8(pos) - '0');
    return digits > 0;
}

// The five named XML entities and numeric ones resolved.
std::string xmlText(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        const std::size_t semi = text.find(';', i);
        if (semi == std::string::npos || semi - i > 10) {
            out += text[i];
            continue;
        }
        const std::string name = text.substr(i + 1, semi - i - 1);
        if (name == "amp") out += '&';
        else if (name == "lt") out += '<';
        else if (name == "gt") out += '>';
        else if (name == "quot") out += '"';
        else if (name == "apos") out += '\'';
        else if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x' || name[1] == 'X';
            const unsigned long cp = std::strtoul(name.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10);
            if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) continue;
            TextUtf::appendUtf8(out, static_cast<char32_t>(cp));
        } else {
            out += text.substr(i, semi - i + 1);
        }
        i = semi;
    }
    return out;
}

} // namespace

std::string CarveHints::exifTaken(CarveInput& in, u64 tiff, u64 size) {
    if (!in.has(tiff, 8) || tiff > size) return "";
    const bool little = in.equals(tiff, "II*\0", 4);
    if (!little && !in.equals(tiff, "MM\0*", 4)) return "";
    auto u16 = [&](u64 pos) { return little ? in.le16(pos) : in.be16(pos); };
    auto u32 = [&](u64 pos) { return little ? in.le32(pos) : in.be32(pos); };
    // The value of tag in the IFD at ifd (relative to tiff), or kNone.
    auto tagValue = [&](u64 ifd, std::uint16_t tag, u64& count) -> u64 {
        const u64 entries = u16(tiff + ifd);
        for (u64 i = 0; i < entries && i < 512; ++i) {
            const u64 e = tiff + ifd + 2 + 12 * i;
            if (u16(e) != tag) continue;
            count = u32(e + 4);
            return e + 8;
        }
        return kNone;
    };
    u64 count = 0;
    const u64 exifAt = tagValue(u32(tiff + 4), kExifIfdTag, count);
    if (exifAt == kNone) return "";
    const u64 timeAt = tagValue(u32(exifAt), kDateTimeOriginalTag, count);
    if (timeAt == kNone || count < kExifTimeBytes || count > 64) return "";
    const u64 text = tiff + u32(timeAt);
    if (text > size || size - text < kExifTimeBytes) return "";
    char t[kExifTimeBytes];
    in.read(text, reinterpret_cast<std::uint8_t*>(t), sizeof t);
    static const char kShape[] = "dddd:dd:dd dd:dd:dd";
    for (std::size_t i = 0; i < sizeof t; ++i) {
        if (kShape[i] == 'd' ? !isDigit(static_cast<std::uint8_t>(t[i])) : t[i] != kShape[i]) return "";
    }
    std::string taken(t, sizeof t);
    if (taken.compare(0, 4, "0000") == 0) return "";
    taken[4] = '-';
    taken[7] = '-';
    taken[10] = 'T';
    return taken;
}

std::string CarveHints::pdfTitle(CarveInput& in, u64 size) {
    // The trailer's /Info names the document information dictionary's
    // object; its /Title is the document's.
    const u64 tail = size > kTailBytes ? size - kTailBytes : 0;
    const u64 info = in.findLast(tail, size, "/Info", 5);
    if (info == kNone) return "";
    u64 pos = info + 5;
    u64 number = 0;
    u64 generation = 0;
    if (!numberAt(in, pos, size, number) || !numberAt(in, pos, size, generation)) return "";
    const std::string head = std::to_string(number) + " " + std::to_string(generation) + " obj";
    for (u64 at = in.find(0, size, head.c_str(), head.size()); at != kNone;
         at = in.find(at + 1, size, head.c_str(), head.size())) {
        if (at > 0 && !isBlank(in.u8(at - 1))) continue;  // "11 0 obj" is not "1 0 obj"
        const u64 end = std::min(size, at + kMaxLiteralBytes * 2);
        const u64 close = in.find(at, end, "endobj", 6);
        const u64 title = in.find(at, close == kNone ? end : close, "/Title", 6);
        if (title == kNone) return "";
        return titleOf(pdfString(in, title + 6, close == kNone ? end : close));
    }
    return "";
}

std::string CarveHints::officeTitle(CarveInput& in, u64 size) {
    constexpr char kCore[] = "docProps/core.xml";
    constexpr u64 kCoreBytes = sizeof kCore - 1;
    const u64 eocd = in.findLast(size > kTailBytes + 22 ? size - kTailBytes - 22 : 0, size, "PK\x05\x06", 4);
    if (eocd == kNone) return "";
    const std::uint32_t entries = in.le16(eocd + 10);
    u64 pos = in.le32(eocd + 16);
    for (std::uint32_t i = 0; i < entries && i < kMaxZipEntries && pos < eocd; ++i) {
        if (!in.equals(pos, "PK\x01\x02", 4)) return "";
        const u64 nameBytes = in.le16(pos + 28);
        const u64 next = pos + 46 + nameBytes + in.le16(pos + 30) + in.le16(pos + 32);
        if (nameBytes != kCoreBytes || !in.equals(pos + 46, kCore, kCoreBytes)) {
            pos = next;
            continue;
        }
        const std::uint16_t method = in.le16(pos + 10);
        const u64 packed = in.le32(pos + 20);
        const u64 plain = in.le32(pos + 24);
        const u64 local = in.le32(pos + 42);
        if (!in.equals(local, "PK\x03\x04", 4) || packed > kMaxCoreXmlBytes || plain > kMaxCoreXmlBytes) return "";
        const u64 data = local + 30 + in.le16(local + 26) + in.le16(local + 28);
        if (data > size || size - data < packed) return "";
        std::vector<std::uint8_t> raw(static_cast<std::size_t>(packed));
        in.read(data, raw.data(), raw.size());
        std::string xml;
        if (method == 0) {
            xml.assign(raw.begin(), raw.end());
        } else if (method == 8) {
#ifdef RESURGO_HAVE_ZLIB
            xml.resize(static_cast<std::size_t>(plain));
            z_stream z{};
            if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return "";
            z.next_in = raw.data();
            z.avail_in = static_cast<uInt>(raw.size());
            z.next_out = reinterpret_cast<Bytef*>(&xml[0]);
            z.avail_out = static_cast<uInt>(xml.size());
            const int status = xml.empty() ? Z_STREAM_END : inflate(&z, Z_FINISH);
            xml.resize(xml.size() - z.avail_out);
            inflateEnd(&z);
            if (status != Z_STREAM_END) return "";
#else
            return "";
#endif
        } else {
            return "";
        }
        const std::size_t open = xml.find("<dc:title>");
        const std::size_t close = open == std::string::npos ? open : xml.find("</dc:title>", open);
        if (close == std::string::npos) return "";
        return titleOf(xmlText(xml.substr(open + 10, close - open - 10)));
    }
    return "";
}

CARVE_HINT CarveHints::find(CarveInput& in, const char* type, u64 size) {
    CARVE_HINT hint;
    const std::string t = type;
    try {
        if (t == "tif") {
            hint.taken = exifTaken(in, 0, size);
        } else if (t == "jpg") {
            // The APP1 segment that holds EXIF, among the first segments.
            u64 pos = 2;
            for (int i = 0; i < kMaxJpegSegments && in.u8(pos) == 0xFF; ++i) {
                const std::uint8_t marker = in.u8(pos + 1);
                if (marker == 0xDA || marker == 0xD9) break;
                const u64 length = in.be16(pos + 2);
                if (marker == 0xE1 && in.equals(pos + 4, "Exif\0\0", 6)) {
                    hint.taken = exifTaken(in, pos + 10, std::min<u64>(size, pos + 2 + length));
                    break;
                }
                pos += 2 + length;
            }
        } else if (t == "pdf") {
            hint.title = pdfTitle(in, size);
        } else if (t == "docx" || t == "xlsx" || t == "pptx") {
            hint.title = officeTitle(in, size);
        }
    } catch (const ErrorException&) {
        // What does not parse gives no hint; what did, stays.
    }
    return hint;
}

} // namespace resurgo
