// The local file system's directories on POSIX: lstat, stat and mkdir.

#include "platform/LocalFiles.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace resurgo {

LocalFiles::Kind LocalFiles::entryKind(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? Kind::Missing : Kind::Other;
    return S_ISDIR(st.st_mode) ? Kind::Directory : Kind::Other;
}

bool LocalFiles::isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

LocalFiles::Made LocalFiles::makeDirectory(const std::string& path, std::string& error) {
    if (::mkdir(path.c_str(), 0755) == 0) return Made::Created;
    const int code = errno;
    error = std::strerror(code);
    return code == EEXIST ? Made::Exists : Made::Failed;
}

} // namespace resurgo
