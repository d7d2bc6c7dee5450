#include "source/QcowSource.h"

#if defined(RESURGO_HAVE_CONTAINERS)

// The declarations that take a libbfio handle.
#define HAVE_LIBBFIO 1
#include <libbfio.h>
#include <libqcow.h>

#include <algorithm>

#include "platform/Platform.h"
#include "source/BfioHandle.h"
#include "source/FileSource.h"
#include "source/LibyalCalls.h"
#include "source/SourceError.h"

namespace resurgo {

namespace {

std::string takeError(libqcow_error_t*& error) {
    return LibyalCalls::takeError(error, libqcow_error_sprint, libqcow_error_free);
}

void release(libqcow_file_t*& file) {
    LibyalCalls::release<libqcow_error_t>(file, libqcow_file_close, libqcow_file_free, libqcow_error_free);
}

libqcow_file_t*& qcowOf(std::intptr_t*& handle) { return reinterpret_cast<libqcow_file_t*&>(handle); }

} // namespace

QcowSource::QcowSource(const std::string& path, const SourceIdentity& identity)
    : ContainerSource(ContainerFormat::Kind::Qcow, identity) {
    try {
        // The image the user named, as a file (a device may hold one too).
        openLink(path, std::make_unique<FileSource>(path));
        for (int depth = 0;; ++depth) {
            libqcow_file_t* file = qcowOf(chain_.back().qcow);
            const std::string& current = files_.back();
            libqcow_error_t* error = nullptr;
            std::uint32_t method = 0;
            if (libqcow_file_get_encryption_method(file, &method, &error) != 1) {
                throw SourceError(kErrOpenDisk, "the QCOW2 image " + current + " has a damaged header: " +
                                                    takeError(error));
            }
            if (method != LIBQCOW_ENCRYPTION_METHOD_NONE) {
                throw SourceError(kErrNotSupported, "the QCOW2 image " + current + " is encrypted; decrypt it first "
                                                    "(qemu-img convert) to search it");
            }
            std::size_t nameSize = 0;
            if (libqcow_file_get_utf8_backing_filename_size(file, &nameSize, &error) != 1 || nameSize < 2) {
                if (error != nullptr) libqcow_error_free(&error);
                break;
            }
            if (depth >= kMaxBackingFiles) {
                throw SourceError(kErrOpenDisk, "the QCOW2 image " + path + " has more than " +
                                                    std::to_string(kMaxBackingFiles) + " backing files");
            }
            std::string name(nameSize, '\0');
            if (libqcow_file_get_utf8_backing_filename(file, reinterpret_cast<std::uint8_t*>(name.data()), nameSize,
                                                       &error) != 1) {
                throw SourceError(kErrOpenDisk, "the QCOW2 image " + current + " has a damaged backing file name: " +
                                                    takeError(error));
            }
            name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
            // A backing file is looked for in the image's folder (as qemu
            // resolves a relative name), never elsewhere: an absolute name
            // or one that climbs out with ".." is refused.
            if (!staysBeside(name)) {
                throw SourceError(kErrOpenDisk, "the QCOW2 image " + current + " names its backing file " + name +
                                                    " outside its folder; only a file beside the image (or below "
                                                    "it) is read");
            }
            const std::string backing = directoryOf(current) + "/" + name;
            openLink(backing, openNamedFile(backing, "the backing file " + name + " of the QCOW2 image " + current));
        }
        for (std::size_t i = chain_.size(); i-- > 1;) {
            libqcow_error_t* error = nullptr;
            if (libqcow_file_set_parent_file(qcowOf(chain_[i - 1].qcow), qcowOf(chain_[i].qcow), &error) != 1) {
                throw SourceError(kErrOpenDisk, "the backing file " + files_[i] + " can't serve " + files_[i - 1] +
                                                    ": " + takeError(error));
            }
        }
        libqcow_error_t* error = nullptr;
        size64_t media = 0;
        if (libqcow_file_get_media_size(qcowOf(chain_.front().qcow), &media, &error) != 1) {
            throw SourceError(kErrOpenDisk, "the QCOW2 image " + path + " has a damaged header: " + takeError(error));
        }
        size_ = media;
    } catch (...) {
        closeAll();
        throw;
    }
}

QcowSource::~QcowSource() { closeAll(); }

void QcowSource::closeAll() {
    // Each image before its backing file, each before the file it reads.
    for (Link& link : chain_) release(qcowOf(link.qcow));
    chain_.clear();
}

void QcowSource::openLink(const std::string& path, std::unique_ptr<FileSource> file) {
    Link link;
    link.file = std::move(file);
    link.io = std::make_unique<BfioHandle>(*link.file);
    libqcow_error_t* error = nullptr;
    libqcow_file_t* qcow = nullptr;
    if (libqcow_file_initialize(&qcow, &error) != 1) {
        throw SourceError(kErrNoMemory, "cannot read the QCOW2 image " + path + ": " + takeError(error));
    }
    if (libqcow_file_open_file_io_handle(qcow, reinterpret_cast<libbfio_handle_t*>(link.io->handle()),
                                         LIBQCOW_OPEN_READ, &error) != 1) {
        const std::string why = takeError(error);
        libqcow_file_free(&qcow, &error);
        if (error != nullptr) libqcow_error_free(&error);
        throw SourceError(kErrOpenDisk, "the QCOW2 image " + path + " can't be read (damaged or cut short): " + why);
    }
    link.qcow = reinterpret_cast<std::intptr_t*>(qcow);
    chain_.push_back(std::move(link));
    files_.push_back(path);
}

const QcowMap& QcowSource::map() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (map_) return *map_;
    try {
        QcowMap map = QcowMap::read(*chain_.front().file);
        for (std::size_t i = 1; i < chain_.size(); ++i) map.add(QcowMap::read(*chain_[i].file));
        map_ = std::move(map);
    } catch (const ErrorException&) {
        map_ = QcowMap::whole(size_);  // tables that can't be read: nothing is skipped
    }
    return *map_;
}

std::uint64_t QcowSource::storedFrom(std::uint64_t offset) { return map().storedFrom(offset); }

std::uint64_t QcowSource::storedBytes() { return std::min(map().storedBytes(), size_); }

std::size_t QcowSource::readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) {
    if (offset >= size_) return 0;
    if (length > size_ - offset) length = static_cast<std::size_t>(size_ - offset);
    std::lock_guard<std::mutex> lock(mutex_);
    return LibyalCalls::readFully<libqcow_error_t>(qcowOf(chain_.front().qcow), libqcow_file_read_buffer_at_offset,
                                                   libqcow_error_free, buffer, length, offset, diagnostic);
}

} // namespace resurgo

#endif
