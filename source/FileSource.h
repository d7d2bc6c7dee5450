#pragma once
// A volume image file or a device, opened read-only through the platform
// layer. The handle is closed by close() or, failing that, the destructor.

#include <cstdint>
#include <string>

#include "platform/Platform.h"
#include "source/Source.h"

namespace resurgo {

class FileSource : public Source {
public:
    // What the path may be: anything the user names (a device, an image),
    // or only a regular file (a file a container names).
    enum class Accept { Any, RegularFile };

    // Opens path ("C:\" names a drive letter on Windows) for reading only;
    // raises code 1 (open) or 4 (geometry) with the system's error.
    explicit FileSource(const std::string& path, Accept accept = Accept::Any);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    std::size_t readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) override;
    std::uint64_t size() const override { return geometry_.sizeBytes; }
    std::uint32_t sectorSize() const override { return geometry_.fromDevice ? geometry_.bytesPerSector : 0; }
    SourceIdentity identity() const override;

    // Raises code 2 when the system refuses to close the handle.
    void close();
    const std::string& path() const { return path_; }
    // What the platform learnt of the source when it was opened.
    const SourceGeometry& geometry() const { return geometry_; }

    // "C:\" (with or without the backslash) names a drive letter.
    static bool isDriveRoot(const std::string& root);
    // The name the system is asked to open for a root path.
    static std::string deviceNameFor(const std::string& root);

private:
    std::string path_;
    OsHandle handle_ = kNoHandle;
    SourceGeometry geometry_;
};

} // namespace resurgo
