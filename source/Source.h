#pragma once
// A read-only byte source: a volume image, a device, a partition inside a
// disk, a memory buffer. Everything the engine reads comes through one.
// Sources are stacked: a slice reads through the source beneath it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace resurgo {

// What makes two sources the same medium, for the check that a restore
// never writes onto the source it reads: the device (or image file)
// underneath and where on it this source starts.
struct SourceIdentity {
    std::uint64_t deviceId = 0;   // st_rdev of a device, st_dev/st_ino of an image file (0 = none)
    bool isBlockDevice = false;
    std::uint64_t offset = 0;     // first byte of this source on that device
};

class Source {
public:
    virtual ~Source();

    // Reads up to length bytes at offset into buffer and returns how many
    // were read: fewer than asked only where the source ends (0 at or past
    // its end). An I/O failure raises ErrorException code 3 with the
    // system's error and the given diagnostic.
    virtual std::size_t readAt(void* buffer, std::size_t length, std::uint64_t offset,
                               const char* diagnostic) = 0;
    // Length in bytes (0 when the source can't tell).
    virtual std::uint64_t size() const = 0;
    // The unit the medium reads in: a device's logical sector size, 0 for
    // sources that read at any byte (image files, memory).
    virtual std::uint32_t sectorSize() const = 0;
    virtual SourceIdentity identity() const = 0;
    // The first offset at or after offset whose bytes the source stores (a
    // container reads what it does not store as zeros); at or past size()
    // when it stores nothing more. Everything, unless a source knows better.
    virtual std::uint64_t storedFrom(std::uint64_t offset) { return offset; }

    // Reads exactly length bytes; a range past the end raises code 3 too.
    void readExact(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic);
};

} // namespace resurgo
