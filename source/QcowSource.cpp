#include "source/QcowSource.h"

#if defined(RESURGO_HAVE_CONTAINERS)

#include <libqcow.h>

#include "platform/Platform.h"
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

} // namespace

QcowSource::QcowSource(const std::string& path, const SourceIdentity& identity)
    : ContainerSource(ContainerFormat::Kind::Qcow, identity) {
    try {
        std::string current = path;
        for (int depth = 0;; ++depth) {
            libqcow_file_t* file = openOne(current);
            chain_.push_back(file);
            files_.push_back(current);
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
            // qemu resolves a relative backing name against the image's folder.
            const std::string backing = !name.empty() && name[0] == '/' ? name : directoryOf(current) + "/" + name;
            if (!platform().fileExists(backing)) {
                throw SourceError(kErrOpenDisk, "the backing file " + name + " of the QCOW2 image " + current +
                                                    " is missing (looked for " + backing + ")");
            }
            current = backing;
        }
        for (std::size_t i = chain_.size(); i-- > 1;) {
            libqcow_error_t* error = nullptr;
            if (libqcow_file_set_parent_file(chain_[i - 1], chain_[i], &error) != 1) {
                throw SourceError(kErrOpenDisk, "the backing file " + files_[i] + " can't serve " + files_[i - 1] +
                                                    ": " + takeError(error));
            }
        }
        libqcow_error_t* error = nullptr;
        size64_t media = 0;
        if (libqcow_file_get_media_size(chain_.front(), &media, &error) != 1) {
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
    for (libqcow_file_t*& file : chain_) release(file);
    chain_.clear();
}

libqcow_file_t* QcowSource::openOne(const std::string& path) {
    libqcow_error_t* error = nullptr;
    libqcow_file_t* file = nullptr;
    if (libqcow_file_initialize(&file, &error) != 1) {
        throw SourceError(kErrNoMemory, "cannot read the QCOW2 image " + path + ": " + takeError(error));
    }
    if (libqcow_file_open(file, path.c_str(), LIBQCOW_OPEN_READ, &error) != 1) {
        const std::string why = takeError(error);
        libqcow_file_free(&file, &error);
        if (error != nullptr) libqcow_error_free(&error);
        throw SourceError(kErrOpenDisk, "the QCOW2 image " + path + " can't be read (damaged or cut short): " + why);
    }
    return file;
}

std::size_t QcowSource::readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) {
    if (offset >= size_) return 0;
    if (length > size_ - offset) length = static_cast<std::size_t>(size_ - offset);
    std::lock_guard<std::mutex> lock(mutex_);
    return LibyalCalls::readFully<libqcow_error_t>(chain_.front(), libqcow_file_read_buffer_at_offset,
                                                   libqcow_error_free, buffer, length, offset, diagnostic);
}

} // namespace resurgo

#endif
