#pragma once
// Small readers of the kernel's sysfs text files.

#include <cstdint>
#include <filesystem>
#include <string>

namespace resurgo {

class SysfsText {
public:
    // The file's first line ("" when it can't be read).
    static std::string readLine(const std::filesystem::path& file);
    // "MAJOR:MINOR" as a device number; false for anything else.
    static bool parseDevNumber(const std::string& text, std::uint64_t& dev);
};

} // namespace resurgo
