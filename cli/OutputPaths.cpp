#include "cli/OutputPaths.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace resurgo::cli {

namespace {

constexpr unsigned kMaxNumber = 100000;

// 0: nothing there, 1: a directory (not a link to one), 2: something else.
int entryKind(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : 2;
    return S_ISDIR(st.st_mode) ? 1 : 2;
}

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
    if (entryKind(join(directory, name)) == 0) return name;
    for (unsigned n = 1; n < kMaxNumber; ++n) {
        std::string candidate = numbered(name, n);
        if (entryKind(join(directory, candidate)) == 0) return candidate;
    }
    return numbered(name, kMaxNumber);
}

bool OutputPaths::enterDirectory(const std::string& parent, const std::string& name, std::string& path,
                                 std::string& error) {
    for (unsigned n = 0; n < kMaxNumber; ++n) {
        std::string candidate = join(parent, n == 0 ? name : name + " (" + std::to_string(n) + ")");
        int kind = entryKind(candidate);
        if (kind == 1) {
            path = candidate;
            return true;
        }
        if (kind == 0) {
            if (::mkdir(candidate.c_str(), 0755) == 0 || (errno == EEXIST && entryKind(candidate) == 1)) {
                path = candidate;
                return true;
            }
            error = "cannot create directory " + candidate + ": " + std::strerror(errno);
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
