#pragma once
// The engine's only view of the operating system. Everything that needs an
// OS header lives behind this interface: raw read-only sources, aligned
// memory, the clock and time zone, the destination file and error texts.
// Tests replace the active implementation (ScopedPlatform) to inject read
// errors, short reads and write failures.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace resurgo {

using OsHandle = std::intptr_t;
constexpr OsHandle kNoHandle = -1;

// What the platform knows about an opened source.
struct SourceGeometry {
    bool fromDevice = false;        // the device answered a geometry query
    std::uint32_t bytesPerSector = 0;
    std::uint64_t cylinders = 0;
    std::uint32_t tracksPerCylinder = 0;
    std::uint32_t sectorsPerTrack = 0;
    std::uint64_t sizeBytes = 0;    // length of the source in bytes (0 = unknown)
    bool isBlockDevice = false;
    std::uint64_t deviceId = 0;     // identity of the device (POSIX st_rdev / st_dev+ino of an image)
};

// How a destination file is created.
enum class OutputMode {
    // A new file only: fails (OutputFailure::Exists) when anything has the
    // name already, a symbolic link (dangling or not) included.
    NewOnly,
    // A new file takes the name over: whatever had it (a file, a link) is
    // replaced in its directory, never opened or written through.
    Replace,
};

// What a failure to make a destination means, from the system's error.
enum class OutputFailure {
    Other,
    Exists,         // the name is taken (the only case where another name may do)
    NameTooLong,
    NotADirectory,  // a part of the path is not a directory
    ReadOnly,       // a read-only file system
    Denied,         // no permission
    NoSpace,
};

struct LocalTime {
    int year = 0, month = 0, dayOfWeek = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

class Platform {
public:
    virtual ~Platform();

    // Raw sources: always opened for reading only. kNoHandle on failure,
    // with lastError() telling why.
    virtual OsHandle openSource(const std::string& path) = 0;
    // A file a container names (a backing file, a parent disk, an extent):
    // opened for reading only when it is a regular file. Opening never
    // waits (a FIFO would block until a writer came); anything else (a
    // FIFO, a device, a socket, a directory) fails with lastError() saying
    // so.
    virtual OsHandle openRegularFile(const std::string& path) = 0;
    virtual bool querySource(OsHandle h, SourceGeometry& out) = 0;
    // One positioned read; may return fewer bytes than asked (got < len),
    // 0 at the end of the source. False on an I/O error.
    virtual bool readAt(OsHandle h, void* buffer, std::size_t length, std::uint64_t offset, std::size_t& got) = 0;
    virtual bool closeSource(OsHandle h) = 0;

    // Zero-filled memory aligned to at least 4096 bytes; nullptr on failure.
    virtual void* allocateZeroed(std::size_t bytes) = 0;
    virtual bool release(void* p, std::size_t bytes) = 0;

    // Current UTC time in NTFS units (100 ns since 1601-01-01).
    virtual std::uint64_t currentUtc() = 0;
    virtual bool utcToLocal(std::uint64_t ntUtc, LocalTime& out) = 0;

    // Destination files (UTF-8 paths), opened for writing. No symbolic link
    // in the last part of the path is ever followed.
    virtual OsHandle createOutput(const std::string& path, OutputMode mode) = 0;
    virtual bool writeOutput(OsHandle h, const void* data, std::size_t length, std::size_t& written) = 0;
    virtual bool setOutputSize(OsHandle h, std::uint64_t size) = 0;
    // Moves the write position length bytes on without writing: the bytes
    // passed read as zeros and, where the file system keeps holes (a
    // sparse file), take no room.
    virtual bool skipOutput(OsHandle h, std::uint64_t length) = 0;
    virtual bool setOutputTimes(OsHandle h, std::uint64_t modifiedNt, std::uint64_t accessedNt) = 0;
    virtual bool closeOutput(OsHandle h) = 0;
    // True when something has the name: a file, a directory, a symbolic
    // link (also one that leads nowhere).
    virtual bool fileExists(const std::string& path) = 0;
    // Deletes an output file the program made (closed first); the last
    // part of the path is never followed.
    virtual bool removeOutput(const std::string& path) = 0;

    // Output directories, for restoring a tree: names inside them are
    // resolved from the opened directory, so nothing that changes above it
    // (and no link inside it) leads a file elsewhere.
    // Opens the directory path (following links, as the user named it);
    // with create, makes it and its missing parents first.
    virtual OsHandle openOutputDirectory(const std::string& path, bool create) = 0;
    // Opens directory name inside directory, making it when missing. A
    // name held by anything but a directory (a link to one included) fails
    // as taken (outputFailure: Exists).
    virtual OsHandle enterOutputDirectory(OsHandle directory, const std::string& name) = 0;
    // createOutput for name inside directory.
    virtual OsHandle createOutputIn(OsHandle directory, const std::string& name, OutputMode mode) = 0;
    // removeOutput for name inside directory.
    virtual bool removeOutputIn(OsHandle directory, const std::string& name) = 0;
    virtual bool closeOutputDirectory(OsHandle directory) = 0;
    // What the system error of a failed destination call means.
    virtual OutputFailure outputFailure(std::uint32_t code) = 0;

    // Bytes available to the caller on the file system holding path.
    virtual bool availableSpace(const std::string& path, std::uint64_t& bytes) = 0;

    // The system's own shadow copies of its volumes: one device path each
    // (Windows: \\?\GLOBALROOT\Device\HarddiskVolumeShadowCopyN), in the order
    // the system numbered them (N, the order they were made), each read as
    // a whole volume as it was. None where the system keeps none (POSIX).
    // False when they can't be listed.
    virtual bool shadowCopyDevices(std::vector<std::string>& devices) = 0;

    virtual std::uint32_t lastError() = 0;
    virtual std::string errorText(std::uint32_t code) = 0;
};

// The active platform (the system's unless a test replaced it).
Platform& platform();
// The real implementation for this operating system.
Platform& systemPlatform();

// Makes another implementation active for its lifetime (tests only).
class ScopedPlatform {
public:
    explicit ScopedPlatform(Platform& replacement);
    virtual ~ScopedPlatform();
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;

private:
    Platform* previous_;
};

} // namespace resurgo
