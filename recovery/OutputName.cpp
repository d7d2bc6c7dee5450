#include "recovery/OutputName.h"

#include <cstdint>

#include "core/TextUtf.h"
#include "recovery/FOUND_FILE.h"

namespace resurgo {

namespace {

bool isBidiControl(char32_t c) {
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F ||
           c == 0x061C;
}

bool isReservedDeviceName(const std::string& name) {
    // The part before the first dot, without the spaces at its end.
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    for (const char* reserved : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (base == reserved) return true;
    }
    if (base.size() < 4 || (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0)) return false;
    const std::string digit = base.substr(3);
    // 1 to 9, and the superscripts 1, 2, 3 that Windows takes as digits too.
    return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xC2\xB9" || digit == "\xC2\xB2" ||
           digit == "\xC2\xB3";
}

} // namespace

std::string OutputName::local(const std::string& name) {
#ifdef _WIN32
    return windows(name);
#else
    return posix(name);
#endif
}

std::string OutputName::posix(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return "_" + name;
    std::string out = name;
    for (char& c : out) {
        if (c == '/' || c == '\0') c = '_';
    }
    return out;
}

std::string OutputName::windows(const std::string& name) {
    std::string out;
    out.reserve(name.size() + 1);
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t start = i;
        char32_t cp = 0;
        if (!TextUtf::decodeOne(name, i, cp)) {
            out.push_back('_');
            continue;
        }
        const bool refused = cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) || isBidiControl(cp) ||
                             (cp < 0x80 && std::string("\\/:*?\"<>|").find(static_cast<char>(cp)) != std::string::npos);
        if (refused) {
            out.push_back('_');
        } else {
            out.append(name, start, i - start);
        }
    }
    // No "..": the first dot of each pair goes.
    for (std::size_t i = 0; i + 1 < out.size(); ++i) {
        if (out[i] == '.' && out[i + 1] == '.') out[i] = '_';
    }
    // Windows drops dots and spaces at the end of a name.
    for (std::size_t i = out.size(); i > 0 && (out[i - 1] == '.' || out[i - 1] == ' '); --i) out[i - 1] = '_';
    if (out.empty()) return "_";
    if (isReservedDeviceName(out)) out.insert(out.begin(), '_');
    return out;
}

std::string OutputName::numbered(const std::string& name, unsigned n) {
    std::string suffix = " (" + std::to_string(n) + ")";
    std::string::size_type dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

} // namespace resurgo
