#include "source/VhdiSource.h"

#if defined(RESURGO_HAVE_CONTAINERS)

// The declarations that take a libbfio handle.
#define HAVE_LIBBFIO 1
#include <libbfio.h>
#include <libvhdi.h>

#include <algorithm>

#include "platform/Platform.h"
#include "source/FileSource.h"
#include "source/LibyalCalls.h"
#include "source/SourceError.h"
#include "source/VhdxLog.h"

namespace resurgo {

namespace {

std::string takeError(libvhdi_error_t*& error) {
    return LibyalCalls::takeError(error, libvhdi_error_sprint, libvhdi_error_free);
}

void release(libvhdi_file_t*& file) {
    LibyalCalls::release<libvhdi_error_t>(file, libvhdi_file_close, libvhdi_file_free, libvhdi_error_free);
}

// libbfio callbacks over a ReplayedFile (the io handle).
using Replayed = VhdiSource::ReplayedFile;
Replayed& replayedOf(intptr_t* io) { return *reinterpret_cast<Replayed*>(io); }

int replayedFree(intptr_t**, libbfio_error_t**) { return 1; }
int replayedClone(intptr_t**, intptr_t*, libbfio_error_t**) { return -1; }
int replayedOpen(intptr_t* io, int, libbfio_error_t**) {
    replayedOf(io).position = 0;
    return 1;
}
int replayedClose(intptr_t*, libbfio_error_t**) { return 0; }
ssize_t replayedRead(intptr_t* io, uint8_t* buffer, size_t size, libbfio_error_t**) {
    Replayed& r = replayedOf(io);
    if (r.position >= r.size) return 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size, r.size - r.position));
    std::size_t got = 0;
    try {
        got = r.file->readAt(buffer, want, r.position, "VhdiSource::replayedRead");
    } catch (const ErrorException&) {
        return -1;
    }
    // Past the physical end (the log may grow the file) the bytes are zeros.
    std::fill(buffer + got, buffer + want, std::uint8_t{0});
    r.log->apply(buffer, want, r.position);
    r.position += want;
    return static_cast<ssize_t>(want);
}
ssize_t replayedWrite(intptr_t*, const uint8_t*, size_t, libbfio_error_t**) { return -1; }
off64_t replayedSeek(intptr_t* io, off64_t offset, int whence, libbfio_error_t**) {
    Replayed& r = replayedOf(io);
    std::int64_t base = whence == SEEK_CUR ? static_cast<std::int64_t>(r.position)
                        : whence == SEEK_END ? static_cast<std::int64_t>(r.size)
                                             : 0;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return -1;
    const std::int64_t target = base + offset;
    if (target < 0) return -1;
    r.position = static_cast<std::uint64_t>(target);
    return target;
}
int replayedExists(intptr_t*, libbfio_error_t**) { return 1; }
int replayedIsOpen(intptr_t*, libbfio_error_t**) { return 1; }
int replayedSize(intptr_t* io, size64_t* size, libbfio_error_t**) {
    *size = replayedOf(io).size;
    return 1;
}

} // namespace

std::size_t VhdiSource::logEntriesReplayed() const { return log_ ? log_->entriesReplayed() : 0; }

VhdiSource::VhdiSource(const std::string& path, ContainerFormat::Kind kind, const SourceIdentity& identity)
    : ContainerSource(kind, identity) {
    try {
        std::string current = path;
        for (int depth = 0;; ++depth) {
            libvhdi_file_t* file = depth == 0 && kind == ContainerFormat::Kind::Vhdx ? openReplayed(current)
                                                                                     : openOne(current);
            chain_.push_back(file);
            files_.push_back(current);
            libvhdi_error_t* error = nullptr;
            std::uint32_t diskType = 0;
            if (libvhdi_file_get_disk_type(file, &diskType, &error) != 1) {
                throw SourceError(kErrOpenDisk, "the image " + current + " has a damaged header: " + takeError(error));
            }
            if (diskType != LIBVHDI_DISK_TYPE_DIFFERENTIAL) break;
            if (depth >= kMaxParents) {
                throw SourceError(kErrOpenDisk, "the image " + path + " has more than " + std::to_string(kMaxParents) +
                                                    " parent disks");
            }
            // The parent's name as the child recorded it (often a Windows
            // path): it is looked for beside the child.
            std::size_t nameSize = 0;
            if (libvhdi_file_get_utf8_parent_filename_size(file, &nameSize, &error) != 1 || nameSize < 2) {
                if (error != nullptr) libvhdi_error_free(&error);
                throw SourceError(kErrOpenDisk, "the differencing disk " + current + " does not name its parent");
            }
            std::string name(nameSize, '\0');
            if (libvhdi_file_get_utf8_parent_filename(file, reinterpret_cast<std::uint8_t*>(name.data()), nameSize,
                                                      &error) != 1) {
                throw SourceError(kErrOpenDisk, "the differencing disk " + current +
                                                    " has a damaged parent locator: " + takeError(error));
            }
            name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
            const std::string parent = directoryOf(current) + "/" + baseName(name);
            if (!platform().fileExists(parent)) {
                throw SourceError(kErrOpenDisk, "the parent disk " + baseName(name) + " of the differencing disk " +
                                                    current + " is missing (looked for " + parent + ")");
            }
            current = parent;
        }
        // Each disk reads the blocks it lacks from its parent.
        for (std::size_t i = chain_.size(); i-- > 1;) {
            libvhdi_error_t* error = nullptr;
            if (libvhdi_file_set_parent_file(chain_[i - 1], chain_[i], &error) != 1) {
                throw SourceError(kErrOpenDisk, "the parent disk " + files_[i] + " does not belong to " +
                                                    files_[i - 1] + ": " + takeError(error));
            }
        }
        libvhdi_error_t* error = nullptr;
        size64_t media = 0;
        if (libvhdi_file_get_media_size(chain_.front(), &media, &error) != 1) {
            throw SourceError(kErrOpenDisk, "the image " + path + " has a damaged header: " + takeError(error));
        }
        size_ = media;
    } catch (...) {
        closeAll();
        throw;
    }
}

VhdiSource::~VhdiSource() { closeAll(); }

void VhdiSource::closeAll() {
    // Children before their parents.
    for (libvhdi_file_t*& file : chain_) release(file);
    chain_.clear();
    libbfio_error_t* error = nullptr;
    if (replayedHandle_ != nullptr) libbfio_handle_free(&replayedHandle_, &error);
    if (error != nullptr) libbfio_error_free(&error);
}

libvhdi_file_t* VhdiSource::openReplayed(const std::string& path) {
    logFile_ = std::make_unique<FileSource>(path);
    try {
        log_ = std::make_unique<VhdxLog>(*logFile_);
    } catch (const SourceError& e) {
        throw SourceError(e.code(), "the VHDX image " + path + " can't be read: " + e.message());
    }
    if (log_->empty()) {
        log_.reset();
        logFile_.reset();
        return openOne(path);
    }
    replayed_.file = logFile_.get();
    replayed_.log = log_.get();
    replayed_.size = log_->fileSize(logFile_->size());
    libbfio_error_t* bfioError = nullptr;
    if (libbfio_handle_initialize(&replayedHandle_, reinterpret_cast<intptr_t*>(&replayed_), replayedFree,
                                  replayedClone, replayedOpen, replayedClose, replayedRead, replayedWrite,
                                  replayedSeek, replayedExists, replayedIsOpen, replayedSize,
                                  LIBBFIO_FLAG_IO_HANDLE_NON_MANAGED, &bfioError) != 1) {
        if (bfioError != nullptr) libbfio_error_free(&bfioError);
        throw SourceError(kErrNoMemory, "cannot read the VHDX image " + path);
    }
    libvhdi_error_t* error = nullptr;
    libvhdi_file_t* file = nullptr;
    if (libvhdi_file_initialize(&file, &error) != 1) {
        throw SourceError(kErrNoMemory, "cannot read the image " + path + ": " + takeError(error));
    }
    if (libvhdi_file_open_file_io_handle(file, replayedHandle_, libvhdi_get_access_flags_read(), &error) != 1) {
        const std::string why = takeError(error);
        libvhdi_file_free(&file, &error);
        if (error != nullptr) libvhdi_error_free(&error);
        throw SourceError(kErrOpenDisk, "the VHDX image " + path + " can't be read after replaying its log: " + why);
    }
    return file;
}

libvhdi_file_t* VhdiSource::openOne(const std::string& path) {
    libvhdi_error_t* error = nullptr;
    libvhdi_file_t* file = nullptr;
    if (libvhdi_file_initialize(&file, &error) != 1) {
        throw SourceError(kErrNoMemory, "cannot read the image " + path + ": " + takeError(error));
    }
    if (libvhdi_file_open(file, path.c_str(), libvhdi_get_access_flags_read(), &error) != 1) {
        const std::string why = takeError(error);
        libvhdi_file_free(&file, &error);
        if (error != nullptr) libvhdi_error_free(&error);
        throw SourceError(kErrOpenDisk, "the " + std::string(ContainerFormat::name(kind())) + " image " + path +
                                            " can't be read (damaged or cut short): " + why);
    }
    return file;
}

std::size_t VhdiSource::readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) {
    if (offset >= size_) return 0;
    if (length > size_ - offset) length = static_cast<std::size_t>(size_ - offset);
    std::lock_guard<std::mutex> lock(mutex_);
    return LibyalCalls::readFully<libvhdi_error_t>(chain_.front(), libvhdi_file_read_buffer_at_offset,
                                                   libvhdi_error_free, buffer, length, offset, diagnostic);
}

} // namespace resurgo

#endif
