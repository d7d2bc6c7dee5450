#pragma once
// Untrusted text (names read off a volume, labels) made safe to show on a
// terminal or in a log line: every control character (C0, DEL, C1), every
// bidirectional control (U+200E/F, U+061C, U+202A-U+202E, U+2066-U+2069),
// the line and paragraph separators (U+2028/9) and every byte that is not
// part of well-formed UTF-8 is shown as an escape: "\x1b" for a byte
// below 0x80 or a malformed byte, "\u202e" for a character. A backslash is
// shown as "\\", so that an escape can't be faked. Everything else is kept.

#include <cstddef>
#include <string>

namespace resurgo {

class VisibleText {
public:
    static std::string of(const std::string& text);
    static void append(std::string& out, const std::string& text);
    // The length of the escape that starts at shown[at] in a text this
    // class made ("\\" 2, "\x1b" 4, "\u202e" 6), 0 when none starts there.
    static std::size_t escapeLength(const std::string& shown, std::size_t at);
    // In JSON text (as a serializer made it: C0 controls already escaped),
    // writes DEL, the C1 controls and the bidirectional controls as \u
    // escapes ("\u007f", "\u202e"): still the same JSON values, but nothing
    // that moves or hides text on a terminal. Malformed UTF-8 is left as it
    // is. Other bytes stay as they were.
    static void escapeInJson(std::string& json);
    // Whether text holds any character escapeInJson escapes.
    static bool hasJsonHidden(const std::string& text);
};

} // namespace resurgo
