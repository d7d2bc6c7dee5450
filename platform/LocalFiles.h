#pragma once
// The local file system's directories, as the command line's restore
// needs them: what a path names and making one directory. POSIX
// (platform/LocalFilesPosix.cpp).

#include <string>

namespace resurgo {

class LocalFiles {
public:
    enum class Kind { Missing, Directory, Other };
    enum class Made { Created, Exists, Failed };

    // What path names, without following a last symbolic link (a link to
    // a directory is Other). A path that can't be examined for another
    // reason than its absence is Other too.
    static Kind entryKind(const std::string& path);
    // True when path names a directory, following symbolic links.
    static bool isDirectory(const std::string& path);
    // Creates one directory (rwxr-xr-x less the process's umask). Exists
    // when something of that name is already there (a directory or not);
    // the system's reason goes to error unless Created.
    static Made makeDirectory(const std::string& path, std::string& error);
};

} // namespace resurgo
