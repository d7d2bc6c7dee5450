#include "cli/JsonText.h"

#include <cstdio>

#include "recovery/SystemServices.h"

namespace resurgo::cli {

namespace {

// A well-formed sequence after its lead byte: how many bytes follow, and
// the range of the first of them (the later ones are 0x80..0xBF); none
// for a byte that cannot lead one.
struct Lead {
    std::size_t follow;
    unsigned char low, high;
};

Lead leadOf(unsigned char c) {
    if (c >= 0xC2 && c <= 0xDF) return {1, 0x80, 0xBF};
    if (c == 0xE0) return {2, 0xA0, 0xBF};   // no overlong forms
    if (c == 0xED) return {2, 0x80, 0x9F};   // no surrogates
    if (c >= 0xE1 && c <= 0xEF) return {2, 0x80, 0xBF};
    if (c == 0xF0) return {3, 0x90, 0xBF};
    if (c >= 0xF1 && c <= 0xF3) return {3, 0x80, 0xBF};
    if (c == 0xF4) return {3, 0x80, 0x8F};   // nothing past U+10FFFF
    return {0, 0, 0};
}

void appendAscii(std::string& out, char c) {
    switch (c) {
        case '"': out += "\\\""; return;
        case '\\': out += "\\\\"; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        default: break;
    }
    if (static_cast<unsigned char>(c) < 0x20) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
        out += escape;
    } else {
        out += c;
    }
}

// The bytes of the well-formed sequence at text[i] (0: none).
std::size_t sequenceAt(const std::string& text, std::size_t i, std::size_t& valid) {
    const Lead lead = leadOf(static_cast<unsigned char>(text[i]));
    valid = 0;
    while (valid < lead.follow && i + 1 + valid < text.size()) {
        const auto b = static_cast<unsigned char>(text[i + 1 + valid]);
        if (b < (valid == 0 ? lead.low : 0x80) || b > (valid == 0 ? lead.high : 0xBF)) break;
        ++valid;
    }
    return lead.follow != 0 && valid == lead.follow ? valid + 1 : 0;
}

} // namespace

void JsonText::appendString(std::string& out, const std::string& text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            appendAscii(quoted, text[i++]);
            continue;
        }
        std::size_t valid = 0;
        if (const std::size_t length = sequenceAt(text, i, valid); length != 0) {
            quoted.append(text, i, length);
            i += length;
        } else {
            // The bytes that began a sequence are replaced once; the byte
            // that broke it starts afresh.
            quoted += "\xEF\xBF\xBD";
            i += 1 + valid;
        }
    }
    quoted += '"';
    VisibleText::escapeInJson(quoted);
    out += quoted;
}

} // namespace resurgo::cli
