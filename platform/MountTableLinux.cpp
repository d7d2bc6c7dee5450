#include "platform/MountTable.h"

#include <fstream>
#include <sstream>

namespace resurgo {

std::string MountTable::unescape(const std::string& field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

std::vector<MountTable::Entry> MountTable::parse(std::istream& in) {
    std::vector<Entry> entries;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Entry e;
        if (!(fields >> e.device >> e.mountPoint >> e.type)) continue;
        e.device = unescape(e.device);
        e.mountPoint = unescape(e.mountPoint);
        e.type = unescape(e.type);
        entries.push_back(std::move(e));
    }
    return entries;
}

std::vector<MountTable::Entry> MountTable::read(const std::string& path) {
    std::ifstream in(path);
    if (!in) return {};
    return parse(in);
}

} // namespace resurgo
