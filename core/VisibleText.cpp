#include "core/VisibleText.h"

#include <cstdio>

#include "core/TextUtf.h"

namespace resurgo {

namespace {

bool isHidden(char32_t c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x200E || c == 0x200F || c == 0x061C ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029;
}

void appendHex(std::string& out, const char* format, unsigned value) {
    char buf[12];
    std::snprintf(buf, sizeof buf, format, value);
    out += buf;
}

} // namespace

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
            appendHex(out, "\\x%02x", static_cast<unsigned char>(text[start]));
        } else if (cp == '\\') {
            out += "\\\\";
        } else if (isHidden(cp)) {
            appendHex(out, cp < 0x80 ? "\\x%02x" : "\\u%04x", static_cast<unsigned>(cp));
        } else {
            out.append(text, start, i - start);
        }
    }
}

} // namespace resurgo
