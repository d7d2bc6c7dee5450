#include "core/TextUtf.h"

namespace resurgo {

namespace {
constexpr char32_t kReplacement = 0xFFFD;
}

void TextUtf::appendUtf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

namespace {

// A well-formed sequence after its lead byte: how many bytes follow, and
// the range of the first of them (the later ones are 0x80..0xBF); none for
// a byte that cannot lead one (C0, C1 and F5..FF lead only overlong or
// out-of-range forms).
struct Lead {
    std::size_t follow;
    unsigned char low, high;
    char32_t bits;  // the lead byte's share of the code point
};

Lead leadOf(unsigned char c) {
    if (c >= 0xC2 && c <= 0xDF) return {1, 0x80, 0xBF, c & 0x1Fu};
    if (c == 0xE0) return {2, 0xA0, 0xBF, 0};        // no overlong forms
    if (c == 0xED) return {2, 0x80, 0x9F, 0x0D};     // no surrogates
    if (c >= 0xE1 && c <= 0xEF) return {2, 0x80, 0xBF, c & 0x0Fu};
    if (c == 0xF0) return {3, 0x90, 0xBF, 0};        // no overlong forms
    if (c >= 0xF1 && c <= 0xF3) return {3, 0x80, 0xBF, c & 0x07u};
    if (c == 0xF4) return {3, 0x80, 0x8F, 4};        // nothing past U+10FFFF
    return {0, 0, 0, 0};
}

} // namespace

std::size_t TextUtf::sequenceAt(const std::string& s, std::size_t i, char32_t& cp, std::size_t& maximal) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    const Lead lead = leadOf(c);
    std::size_t valid = 0;
    char32_t value = lead.bits;
    while (valid < lead.follow && i + 1 + valid < s.size()) {
        const auto b = static_cast<unsigned char>(s[i + 1 + valid]);
        if (b < (valid == 0 ? lead.low : 0x80) || b > (valid == 0 ? lead.high : 0xBF)) break;
        value = (value << 6) | (b & 0x3Fu);
        ++valid;
    }
    if (lead.follow != 0 && valid == lead.follow) {
        cp = value;
        return valid + 1;
    }
    maximal = valid + 1;
    return 0;
}

bool TextUtf::decodeOne(const std::string& s, std::size_t& i, char32_t& cp) {
    std::size_t maximal = 0;
    const std::size_t length = sequenceAt(s, i, cp, maximal);
    // A malformed sequence moves one byte: callers show each byte.
    i += length != 0 ? length : 1;
    return length != 0;
}

std::string TextUtf::fromUtf16Le(const std::uint8_t* bytes, std::size_t units) {
    std::string out;
    out.reserve(units);
    for (std::size_t i = 0; i < units; ++i) {
        char32_t u = static_cast<char32_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        if (u < 0x80) {  // most names are ASCII
            out.push_back(static_cast<char>(u));
            continue;
        }
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            char32_t v = static_cast<char32_t>(bytes[2 * i + 2] | (bytes[2 * i + 3] << 8));
            if (v >= 0xDC00 && v <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
                ++i;
                continue;
            }
        }
        appendUtf8(out, u);  // lone surrogates map to U+FFFD inside appendUtf8
    }
    return out;
}

std::string TextUtf::fromUtf16(const std::u16string& s) {
    std::vector<std::uint8_t> le(s.size() * 2);
    for (std::size_t i = 0; i < s.size(); ++i) {
        le[2 * i] = static_cast<std::uint8_t>(s[i] & 0xFF);
        le[2 * i + 1] = static_cast<std::uint8_t>(s[i] >> 8);
    }
    return fromUtf16Le(le.data(), s.size());
}

std::u32string TextUtf::toCodePoints(const std::string& s) {
    std::u32string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        char32_t cp = 0;
        out.push_back(decodeOne(s, i, cp) ? cp : kReplacement);
    }
    return out;
}

std::u16string TextUtf::toUtf16(const std::string& s) {
    std::u16string out;
    for (char32_t cp : toCodePoints(s)) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

char32_t TextUtf::foldCase(char32_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 0x20 : c;
    // Latin-1 Supplement
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
    if (c == 0xB5) return 0x3BC;  // micro sign folds to Greek mu
    // Latin Extended-A: mostly upper/lower pairs, even = upper
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) {
            if (c == 0x17F) return 's';
            return c;
        }
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c + 1 : c;
        if (c == 0x178) return 0xFF;
        return (c & 1) ? c : c + 1;
    }
    // Greek
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
    if (c == 0x386) return 0x3AC;
    if (c >= 0x388 && c <= 0x38A) return c + 0x25;
    if (c == 0x38C) return 0x3CC;
    if (c == 0x38E || c == 0x38F) return c + 0x3F;
    if (c == 0x3C2) return 0x3C3;  // final sigma folds to sigma
    // Cyrillic
    if (c >= 0x410 && c <= 0x42F) return c + 0x20;
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;
    if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F))
        return (c & 1) ? c : c + 1;
    if (c >= 0x4C1 && c <= 0x4CE) return (c & 1) ? c + 1 : c;
    if (c == 0x4C0) return 0x4CF;
    return c;
}

} // namespace resurgo
