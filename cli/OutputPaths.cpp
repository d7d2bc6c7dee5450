#include "cli/OutputPaths.h"

#include "platform/LocalFiles.h"

namespace resurgo::cli {

namespace {

constexpr unsigned kMaxNumber = 100000;

} // namespace

std::string OutputPaths::safeComponent(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return "_" + name;
    std::string out = name;
    for (char& c : out) {
        if (c == '/' || c == '\0') c = '_';
    }
    return out;
}

std::vector<std::string> OutputPaths::directoryComponents(const std::string& engineDirectory) {
    std::vector<std::string> parts;
    std::string current;
    auto flush = [&] {
        if (!current.empty() && current != ".") parts.push_back(safeComponent(current));
        current.clear();
    };
    for (char c : engineDirectory) {
        if (c == '\\') {
            flush();
        } else {
            current.push_back(c);
        }
    }
    flush();
    return parts;
}

std::string OutputPaths::numbered(const std::string& name, unsigned n) {
    std::string suffix = " (" + std::to_string(n) + ")";
    std::string::size_type dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

std::string OutputPaths::join(const std::string& directory, const std::string& name) {
    if (directory.empty()) return name;
    if (directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

std::string OutputPaths::freeName(const std::string& directory, const std::string& name) {
    if (LocalFiles::entryKind(join(directory, name)) == LocalFiles::Kind::Missing) return name;
    for (unsigned n = 1; n < kMaxNumber; ++n) {
        std::string candidate = numbered(name, n);
        if (LocalFiles::entryKind(join(directory, candidate)) == LocalFiles::Kind::Missing) return candidate;
    }
    return numbered(name, kMaxNumber);
}

bool OutputPaths::enterDirectory(const std::string& parent, const std::string& name, std::string& path,
                                 std::string& error) {
    for (unsigned n = 0; n < kMaxNumber; ++n) {
        std::string candidate = join(parent, n == 0 ? name : name + " (" + std::to_string(n) + ")");
        const LocalFiles::Kind kind = LocalFiles::entryKind(candidate);
        if (kind == LocalFiles::Kind::Directory) {
            path = candidate;
            return true;
        }
        if (kind == LocalFiles::Kind::Missing) {
            std::string why;
            const LocalFiles::Made made = LocalFiles::makeDirectory(candidate, why);
            if (made == LocalFiles::Made::Created ||
                (made == LocalFiles::Made::Exists && LocalFiles::entryKind(candidate) == LocalFiles::Kind::Directory)) {
                path = candidate;
                return true;
            }
            error = "cannot create directory " + candidate + ": " + why;
            return false;
        }
    }
    error = "no free name for directory " + join(parent, name);
    return false;
}

std::string OutputPaths::parentOf(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    std::string::size_type slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

} // namespace resurgo::cli
