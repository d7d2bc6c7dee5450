// POSIX implementation of the platform layer: sources are block devices or
// volume image files given by path, opened O_RDONLY.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

    OsHandle createOutput(const std::string& path) override {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
        return ::stat(path.c_str(), &st) == 0;
    }

    bool availableSpace(const std::string& path, std::uint64_t& bytes) override {
        struct statvfs sv {};
        if (::statvfs(path.c_str(), &sv) != 0) return false;
        bytes = static_cast<std::uint64_t>(sv.f_bavail) * static_cast<std::uint64_t>(sv.f_frsize);
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
