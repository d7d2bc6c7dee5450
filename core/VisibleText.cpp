#include "core/VisibleText.h"

#include <algorithm>

#include "core/TextUtf.h"

namespace resurgo {

namespace {

bool isHidden(char32_t c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x200E || c == 0x200F || c == 0x061C ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029;
}

// prefix, then value as that many lowercase hexadecimal digits.
void appendHex(std::string& out, const char* prefix, unsigned value, int digits) {
    static const char kDigits[] = "0123456789abcdef";
    out += prefix;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xFu];
}

// What JSON output escapes beyond what its serializer does.
bool isJsonHidden(char32_t c) {
    return c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x200E || c == 0x200F || c == 0x061C ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// Only DEL and characters from U+0080 on are escaped: a text without DEL
// and bytes from 0x80 needs no look.
bool mayHoldJsonHidden(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x7F; });
}

} // namespace

bool VisibleText::hasJsonHidden(const std::string& text) {
    if (!mayHoldJsonHidden(text)) return false;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        char32_t cp = 0;
        if (!TextUtf::decodeOne(text, i, cp)) {
            i = start + 1;
        } else if (isJsonHidden(cp)) {
            return true;
        }
    }
    return false;
}

void VisibleText::escapeInJson(std::string& json) {
    if (!hasJsonHidden(json)) return;
    std::string out;
    out.reserve(json.size() + 16);
    for (std::size_t i = 0; i < json.size();) {
        const std::size_t start = i;
        char32_t cp = 0;
        if (!TextUtf::decodeOne(json, i, cp)) {
            i = start + 1;
            out += json[start];
        } else if (isJsonHidden(cp)) {
            appendHex(out, "\\u", static_cast<unsigned>(cp), 4);
        } else {
            out.append(json, start, i - start);
        }
    }
    json.swap(out);
}

std::string VisibleText::of(const std::string& text) {
    std::string out;
    append(out, text);
    return out;
}

void VisibleText::append(std::string& out, const std::string& text) {
    out.reserve(out.size() + text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        char32_t cp = 0;
        if (!TextUtf::decodeOne(text, i, cp)) {
            appendHex(out, "\\x", static_cast<unsigned char>(text[start]), 2);
        } else if (cp == '\\') {
            out += "\\\\";
        } else if (isHidden(cp)) {
            // Every hidden character lies below U+10000: four digits do.
            appendHex(out, cp < 0x80 ? "\\x" : "\\u", static_cast<unsigned>(cp), cp < 0x80 ? 2 : 4);
        } else {
            out.append(text, start, i - start);
        }
    }
}

std::size_t VisibleText::escapeLength(const std::string& shown, std::size_t at) {
    if (at + 1 >= shown.size() || shown[at] != '\\') return 0;
    std::size_t length = 2;
    if (shown[at + 1] == 'x') length = 4;
    if (shown[at + 1] == 'u') length = 6;
    return std::min(length, shown.size() - at);
}

} // namespace resurgo
