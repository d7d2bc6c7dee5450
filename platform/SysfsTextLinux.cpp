#include "platform/SysfsText.h"

#include <fstream>
#include <sstream>
#include <sys/sysmacros.h>

namespace resurgo {

std::string SysfsText::readLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

bool SysfsText::parseDevNumber(const std::string& text, std::uint64_t& dev) {
    unsigned major = 0, minor = 0;
    char colon = 0;
    std::istringstream in(text);
    if (!(in >> major >> colon >> minor) || colon != ':') return false;
    dev = static_cast<std::uint64_t>(makedev(major, minor));
    return true;
}

} // namespace resurgo
