#include "cli/JsonText.h"

#include <cstdio>

#include "recovery/SystemServices.h"

namespace resurgo::cli {

namespace {

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
        char32_t cp = 0;
        std::size_t maximal = 0;
        if (const std::size_t length = TextUtf::sequenceAt(text, i, cp, maximal); length != 0) {
            quoted.append(text, i, length);
            i += length;
        } else {
            // The bytes that began a sequence are replaced once; the byte
            // that broke it starts afresh.
            quoted += "\xEF\xBF\xBD";
            i += maximal;
        }
    }
    quoted += '"';
    VisibleText::escapeInJson(quoted);
    out += quoted;
}

} // namespace resurgo::cli
