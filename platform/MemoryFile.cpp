#include "platform/MemoryFile.h"

#include "core/ErrorException.h"

#if defined(__linux__)
#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace resurgo {

#if defined(__linux__)

MemoryFile::MemoryFile(const std::string& name, std::uint64_t length) : length_(length) {
    fd_ = ::memfd_create(name.c_str(), MFD_CLOEXEC);
    if (fd_ < 0) throw ErrorException(kErrNoMemory, static_cast<std::uint32_t>(errno), "MemoryFile::MemoryFile");
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
        const int saved = errno;
        ::close(fd_);
        fd_ = -1;
        throw ErrorException(kErrNoMemory, static_cast<std::uint32_t>(saved), "MemoryFile::MemoryFile <Length>");
    }
}

MemoryFile::~MemoryFile() {
    if (fd_ >= 0) ::close(fd_);
}

void MemoryFile::write(const void* data, std::size_t length, std::uint64_t offset) {
    if (offset > length_ || length > length_ - offset) throw ErrorException(kErrWriteOutput, "MemoryFile::write <Range>");
    const auto* in = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(fd_, in + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw ErrorException(kErrWriteOutput, static_cast<std::uint32_t>(errno), "MemoryFile::write");
        done += static_cast<std::size_t>(n);
    }
}

#else

MemoryFile::MemoryFile(const std::string&, std::uint64_t length) : length_(length) {
    throw ErrorException(kErrNotSupported, "MemoryFile::MemoryFile <NoMemoryFiles>");
}

MemoryFile::~MemoryFile() = default;

void MemoryFile::write(const void*, std::size_t, std::uint64_t) {
    throw ErrorException(kErrNotSupported, "MemoryFile::write <NoMemoryFiles>");
}

#endif

} // namespace resurgo
