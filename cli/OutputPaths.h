#pragma once
// Where restored files go under an output directory: the rebuilt
// directory path (placeholders included) as real directories, names made
// safe for the local file system, and a numbered name instead of
// overwriting anything.

#include <string>
#include <vector>

namespace resurgo::cli {

class OutputPaths {
public:
    // One path component: "/" and NUL become "_"; "", "." and ".." can't
    // name a file of their own and become "_", "_." and "_..".
    static std::string safeComponent(const std::string& name);
    // The engine's directory text ("Documents\Letters\", ".\") as safe
    // components below the output directory (none for the root).
    static std::vector<std::string> directoryComponents(const std::string& engineDirectory);
    // "name (n).ext": the number goes before the last extension.
    static std::string numbered(const std::string& name, unsigned n);
    static std::string join(const std::string& directory, const std::string& name);
    // The first of name, "name (1)", "name (2)" … that names nothing in
    // directory (a dangling symbolic link counts as taken).
    static std::string freeName(const std::string& directory, const std::string& name);
    // Makes (or reuses) the directory name inside parent; when name is
    // taken by something that is not a directory, the first numbered name
    // that is free or a directory. False with error on failure.
    static bool enterDirectory(const std::string& parent, const std::string& name, std::string& path,
                               std::string& error);
    // The parent directory of a path ("." when it has none).
    static std::string parentOf(const std::string& path);
};

} // namespace resurgo::cli
