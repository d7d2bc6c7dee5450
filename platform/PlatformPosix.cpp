// POSIX implementation of the platform layer: sources are block devices or
// volume image files given by path, opened O_RDONLY.

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/Platform.h"

namespace resurgo {

namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t kEpochDelta = 11644473600ULL;
constexpr std::uint64_t kTicksPerSecond = 10000000ULL;
// Tries at a free temporary name before a replacing create gives up.
constexpr int kTemporaryTries = 100;

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

// A file made in the directory dirfd under a name nothing has, then
// renamed over name: the directory entry is replaced (a link included,
// never followed), whatever held it.
int replaceAt(int dirfd, const std::string& name) {
    static std::atomic<unsigned> counter{0};
    for (int i = 0; i < kTemporaryTries; ++i) {
        const std::string temporary = ".resurgo-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".part";
        int fd = ::openat(dirfd, temporary.c_str(), kCreateFlags, 0644);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return -1;
        if (::renameat(dirfd, temporary.c_str(), dirfd, name.c_str()) != 0) {
            int saved = errno;
            ::unlinkat(dirfd, temporary.c_str(), 0);
            ::close(fd);
            errno = saved;
            return -1;
        }
        return fd;
    }
    errno = EEXIST;
    return -1;
}

int createAt(int dirfd, const std::string& name, OutputMode mode) {
    if (name.empty()) {
        errno = EISDIR;
        return -1;
    }
    if (mode == OutputMode::Replace) return replaceAt(dirfd, name);
    return ::openat(dirfd, name.c_str(), kCreateFlags, 0644);
}

// The directory holding path and the last part of it ("a/b/c" -> "a/b", "c").
void splitPath(const std::string& path, std::string& directory, std::string& name) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        directory = ".";
        name = path;
    } else {
        directory = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p: the missing directories of path, parents first.
bool makeDirectories(const std::string& path, int depth = 0) {
    if (path.empty() || isDirectory(path)) return true;
    if (depth > 4096) {
        errno = ELOOP;
        return false;
    }
    std::string parent, name;
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    splitPath(trimmed, parent, name);
    if (parent != trimmed && !makeDirectories(parent, depth + 1)) return false;
    return ::mkdir(trimmed.c_str(), 0755) == 0 || errno == EEXIST;
}

class PosixPlatform final : public Platform {
public:
    OsHandle openSource(const std::string& path) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return kNoHandle;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
            int saved = S_ISDIR(st.st_mode) ? EISDIR : errno;
            ::close(fd);
            errno = saved;
            return kNoHandle;
        }
        return fd;
    }

    OsHandle openRegularFile(const std::string& path) override {
        // O_NONBLOCK: opening a FIFO for reading would wait for a writer.
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) return kNoHandle;
        struct stat st {};
        const bool statted = ::fstat(fd, &st) == 0;
        if (!statted || !S_ISREG(st.st_mode)) {
            const int saved = !statted ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            ::close(fd);
            errno = saved;
            return kNoHandle;
        }
        // Reads of a regular file never wait anyway; the flag goes back.
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        return fd;
    }

    bool querySource(OsHandle h, SourceGeometry& out) override {
        int fd = static_cast<int>(h);
        struct stat st {};
        if (::fstat(fd, &st) != 0) return false;
        out = SourceGeometry{};
        if (S_ISBLK(st.st_mode)) {
            int ssz = 0;
            std::uint64_t bytes = 0;
            if (::ioctl(fd, BLKSSZGET, &ssz) != 0) return false;
            if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) return false;
            out.fromDevice = true;
            out.isBlockDevice = true;
            out.bytesPerSector = static_cast<std::uint32_t>(ssz);
            out.sizeBytes = bytes;
            // No CHS on a block device: one sector per track, one track per
            // cylinder, so the product is the device's sector count.
            out.sectorsPerTrack = 1;
            out.tracksPerCylinder = 1;
            out.cylinders = ssz > 0 ? bytes / static_cast<std::uint64_t>(ssz) : 0;
            out.deviceId = static_cast<std::uint64_t>(st.st_rdev);
        } else {
            out.fromDevice = false;
            out.sizeBytes = static_cast<std::uint64_t>(st.st_size);
            out.deviceId = static_cast<std::uint64_t>(st.st_dev) ^ (static_cast<std::uint64_t>(st.st_ino) << 20);
        }
        return true;
    }

    bool readAt(OsHandle h, void* buffer, std::size_t length, std::uint64_t offset, std::size_t& got) override {
        got = 0;
        for (;;) {
            ssize_t r = ::pread(static_cast<int>(h), buffer, length, static_cast<off_t>(offset));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return false;
            got = static_cast<std::size_t>(r);
            return true;
        }
    }

    bool closeSource(OsHandle h) override { return ::close(static_cast<int>(h)) == 0; }

    void* allocateZeroed(std::size_t bytes) override {
        if (bytes == 0) {
            errno = EINVAL;
            return nullptr;
        }
        void* p = nullptr;
        int rc = ::posix_memalign(&p, 4096, bytes);
        if (rc != 0) {
            errno = rc;
            return nullptr;
        }
        std::memset(p, 0, bytes);
        return p;
    }

    bool release(void* p, std::size_t) override {
        std::free(p);
        return true;
    }

    std::uint64_t currentUtc() override {
        struct timespec ts {};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        return (static_cast<std::uint64_t>(ts.tv_sec) + kEpochDelta) * kTicksPerSecond +
               static_cast<std::uint64_t>(ts.tv_nsec) / 100;
    }

    bool utcToLocal(std::uint64_t ntUtc, LocalTime& out) override {
        std::int64_t secs = static_cast<std::int64_t>(ntUtc / kTicksPerSecond) - static_cast<std::int64_t>(kEpochDelta);
        time_t t = static_cast<time_t>(secs);
        struct tm tmv {};
        if (::localtime_r(&t, &tmv) == nullptr) {
            errno = EOVERFLOW;
            return false;
        }
        out.year = tmv.tm_year + 1900;
        out.month = tmv.tm_mon + 1;
        out.dayOfWeek = tmv.tm_wday;
        out.day = tmv.tm_mday;
        out.hour = tmv.tm_hour;
        out.minute = tmv.tm_min;
        out.second = tmv.tm_sec;
        out.millisecond = static_cast<int>((ntUtc % kTicksPerSecond) / 10000);
        return true;
    }

    OsHandle createOutput(const std::string& path, OutputMode mode) override {
        std::string directory, name;
        splitPath(path, directory, name);
        int dirfd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirfd < 0) return kNoHandle;
        int fd = createAt(dirfd, name, mode);
        int saved = errno;
        ::close(dirfd);
        errno = saved;
        return fd < 0 ? kNoHandle : fd;
    }

    bool writeOutput(OsHandle h, const void* data, std::size_t length, std::size_t& written) override {
        written = 0;
        for (;;) {
            ssize_t r = ::write(static_cast<int>(h), data, length);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return false;
            written = static_cast<std::size_t>(r);
            if (r == 0 && length > 0) errno = ENOSPC;
            return true;
        }
    }

    bool setOutputSize(OsHandle h, std::uint64_t size) override {
        return ::ftruncate(static_cast<int>(h), static_cast<off_t>(size)) == 0;
    }

    bool skipOutput(OsHandle h, std::uint64_t length) override {
        // Past the end of the file, the next write (or the ftruncate that
        // sets the size) leaves a hole where the file system has them.
        if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            errno = EFBIG;
            return false;
        }
        return ::lseek(static_cast<int>(h), static_cast<off_t>(length), SEEK_CUR) >= 0;
    }

    bool setOutputTimes(OsHandle h, std::uint64_t modifiedNt, std::uint64_t accessedNt) override {
        auto toTs = [](std::uint64_t nt) {
            struct timespec ts {};
            std::int64_t secs = static_cast<std::int64_t>(nt / kTicksPerSecond) - static_cast<std::int64_t>(kEpochDelta);
            ts.tv_sec = static_cast<time_t>(secs);
            ts.tv_nsec = static_cast<long>((nt % kTicksPerSecond) * 100);
            return ts;
        };
        struct timespec times[2] = {toTs(accessedNt), toTs(modifiedNt)};
        return ::futimens(static_cast<int>(h), times) == 0;
    }

    bool closeOutput(OsHandle h) override { return ::close(static_cast<int>(h)) == 0; }

    bool removeOutput(const std::string& path) override { return ::unlink(path.c_str()) == 0; }

    bool fileExists(const std::string& path) override {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0;
    }

    OsHandle openOutputDirectory(const std::string& path, bool create) override {
        if (create && !makeDirectories(path)) return kNoHandle;
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        return fd < 0 ? kNoHandle : fd;
    }

    OsHandle enterOutputDirectory(OsHandle directory, const std::string& name) override {
        const int dirfd = static_cast<int>(directory);
        if (name.empty()) {
            errno = ENOENT;
            return kNoHandle;
        }
        const bool made = ::mkdirat(dirfd, name.c_str(), 0755) == 0;
        if (!made && errno != EEXIST) return kNoHandle;
        int fd = ::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && (errno == ENOTDIR || errno == ELOOP)) errno = EEXIST;  // a file or a link has the name
        return fd < 0 ? kNoHandle : fd;
    }

    OsHandle createOutputIn(OsHandle directory, const std::string& name, OutputMode mode) override {
        int fd = createAt(static_cast<int>(directory), name, mode);
        return fd < 0 ? kNoHandle : fd;
    }

    bool removeOutputIn(OsHandle directory, const std::string& name) override {
        return ::unlinkat(static_cast<int>(directory), name.c_str(), 0) == 0;
    }

    bool closeOutputDirectory(OsHandle directory) override { return ::close(static_cast<int>(directory)) == 0; }

    OutputFailure outputFailure(std::uint32_t code) override {
        switch (static_cast<int>(code)) {
            case EEXIST: return OutputFailure::Exists;
            case ENAMETOOLONG: return OutputFailure::NameTooLong;
            case ENOTDIR: return OutputFailure::NotADirectory;
            case EROFS: return OutputFailure::ReadOnly;
            case EACCES:
            case EPERM: return OutputFailure::Denied;
            case ENOSPC:
            case EDQUOT: return OutputFailure::NoSpace;
            default: return OutputFailure::Other;
        }
    }

    bool availableSpace(const std::string& path, std::uint64_t& bytes) override {
        struct statvfs sv {};
        if (::statvfs(path.c_str(), &sv) != 0) return false;
        bytes = static_cast<std::uint64_t>(sv.f_bavail) * static_cast<std::uint64_t>(sv.f_frsize);
        return true;
    }

    // Shadow copies are kept on Windows volumes; a POSIX system exposes none
    // of its own (a Windows volume's copies are read from its catalog).
    bool shadowCopyDevices(std::vector<std::string>& devices) override {
        devices.clear();
        return true;
    }

    std::uint32_t lastError() override { return static_cast<std::uint32_t>(errno); }

    std::string errorText(std::uint32_t code) override {
        char buf[256];
        const char* text = ::strerror_r(static_cast<int>(code), buf, sizeof buf);
        return text ? std::string(text) : std::string();
    }
};

} // namespace

Platform& systemPlatform() {
    static PosixPlatform instance;
    return instance;
}

} // namespace resurgo
