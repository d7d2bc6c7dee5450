#include "source/FileSource.h"

#include "core/ErrorException.h"

namespace resurgo {

bool FileSource::isDriveRoot(const std::string& root) {
    if (root.size() < 2 || root.size() > 3) return false;
    char c = root[0];
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    return letter && root[1] == ':' && (root.size() == 2 || root[2] == '\\');
}

std::string FileSource::deviceNameFor(const std::string& root) {
    if (isDriveRoot(root)) return std::string("\\\\.\\") + root.substr(0, 2);
    return root;
}

FileSource::FileSource(const std::string& path, Accept accept) : path_(path) {
    OsHandle h = accept == Accept::RegularFile ? platform().openRegularFile(path)
                                               : platform().openSource(deviceNameFor(path));
    if (h == kNoHandle) {
        std::uint32_t err = platform().lastError();
        throw ErrorException(kErrOpenDisk, err, "Volume::openLogical");
    }
    SourceGeometry g;
    if (!platform().querySource(h, g)) {
        std::uint32_t err = platform().lastError();
        platform().closeSource(h);
        throw ErrorException(kErrDiskGeometry, err, "Volume::getDiskGeometry");
    }
    handle_ = h;
    geometry_ = g;
}

FileSource::~FileSource() {
    if (handle_ != kNoHandle) platform().closeSource(handle_);
}

void FileSource::close() {
    if (handle_ == kNoHandle) return;
    OsHandle h = handle_;
    handle_ = kNoHandle;
    if (!platform().closeSource(h)) {
        std::uint32_t err = platform().lastError();
        throw ErrorException(kErrCloseDisk, err, "Volume::close");
    }
}

std::size_t FileSource::readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) {
    if (handle_ == kNoHandle) throw ErrorException(kErrReadDisk, diagnostic);
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    // The system may return less than asked before the end: go on until
    // the range is read or the source ends.
    while (done < length) {
        std::size_t got = 0;
        if (!platform().readAt(handle_, out + done, length - done, offset + done, got)) {
            std::uint32_t err = platform().lastError();
            throw ErrorException(kErrReadDisk, err, diagnostic);
        }
        if (got == 0) break;
        done += got;
    }
    return done;
}

SourceIdentity FileSource::identity() const {
    SourceIdentity id;
    id.deviceId = geometry_.deviceId;
    id.isBlockDevice = geometry_.isBlockDevice;
    return id;
}

} // namespace resurgo
