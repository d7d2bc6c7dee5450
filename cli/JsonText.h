#pragma once
// String values of the program's JSON: quoted, with the escapes JSON needs
// (lowercase "\u00xx" for the control characters without a short form),
// each malformed UTF-8 sequence replaced by U+FFFD (the longest start of a
// sequence that could have been valid counts once), and the characters
// that would hide text on a terminal (DEL, C1 and bidirectional controls)
// escaped too. Names come from the disk: anything may be in them.

#include <string>

#include <rapidjson/rapidjson.h>

namespace resurgo::cli {

class JsonText {
public:
    // Appends text to out as a quoted JSON string.
    static void appendString(std::string& out, const std::string& text);

    // Writes text as a string value through a RapidJSON writer.
    template <typename Writer>
    static void write(Writer& writer, const std::string& text) {
        std::string quoted;
        appendString(quoted, text);
        writer.RawValue(quoted.data(), quoted.size(), rapidjson::kStringType);
    }
};

} // namespace resurgo::cli
