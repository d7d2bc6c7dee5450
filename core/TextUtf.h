#pragma once
// Text conversions. All text inside the engine is UTF-8; NTFS names are
// UTF-16LE on disk and are converted in full here.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace resurgo {

class TextUtf {
public:
    // UTF-16LE code units (as bytes) to UTF-8; unpaired surrogates become U+FFFD.
    static std::string fromUtf16Le(const std::uint8_t* bytes, std::size_t units);
    static std::string fromUtf16(const std::u16string& s);
    // UTF-8 to UTF-16; malformed sequences become U+FFFD.
    static std::u16string toUtf16(const std::string& s);
    // UTF-8 to code points; malformed bytes become U+FFFD.
    static std::u32string toCodePoints(const std::string& s);
    static void appendUtf8(std::string& out, char32_t cp);
    // The code point of the UTF-8 sequence at s[i], i moved past it; false
    // (i moved one byte) for a malformed, cut, overlong or surrogate
    // sequence. i must be below s.size().
    static bool decodeOne(const std::string& s, std::size_t& i, char32_t& cp);
    // The length of the well-formed UTF-8 sequence at s[i] (cp its code
    // point), or 0; then maximal is the length of its maximal subpart (the
    // bytes that begin a well-formed sequence before the one that breaks
    // it, at least 1), which a decoder replaces by one U+FFFD as Unicode
    // recommends. i must be below s.size().
    static std::size_t sequenceAt(const std::string& s, std::size_t i, char32_t& cp, std::size_t& maximal);
    // Unicode simple case folding for Latin, Greek and Cyrillic (and the
    // ASCII subset); other characters are returned unchanged.
    static char32_t foldCase(char32_t cp);
};

} // namespace resurgo
