#pragma once
// A file that lives only in memory (Linux memfd), sparse: its length is set
// at creation and only the ranges written take memory. Libraries that read
// through a file descriptor (libblkid) are given one of these holding the
// few regions of a source they need, so that they never see the source
// itself, whatever it is (a partition inside a container, memory, a
// device). Closed by the destructor.

#include <cstddef>
#include <cstdint>
#include <string>

namespace resurgo {

class MemoryFile {
public:
    // Raises ErrorException code 5 (no memory) with the system's error when
    // the system refuses, code 25 where there are no memory files.
    MemoryFile(const std::string& name, std::uint64_t length);
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // Copies length bytes to offset (within the file's length); raises code
    // 24 on failure.
    void write(const void* data, std::size_t length, std::uint64_t offset);
    int descriptor() const { return fd_; }
    std::uint64_t length() const { return length_; }

private:
    int fd_ = -1;
    std::uint64_t length_ = 0;
};

} // namespace resurgo
