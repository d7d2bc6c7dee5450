#include "source/VhdiSource.h"

#if defined(RESURGO_HAVE_CONTAINERS)

#include <libvhdi.h>

#include "platform/Platform.h"
#include "source/SourceError.h"

namespace resurgo {

namespace {

std::string takeError(libvhdi_error_t*& error) {
    if (error == nullptr) return "unknown error";
    char text[512] = {};
    libvhdi_error_sprint(error, text, sizeof text);
    libvhdi_error_free(&error);
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '.')) s.pop_back();
    return s;
}

void release(libvhdi_file_t*& file) {
    libvhdi_error_t* error = nullptr;
    libvhdi_file_close(file, &error);
    if (error != nullptr) libvhdi_error_free(&error);
    libvhdi_file_free(&file, &error);
    if (error != nullptr) libvhdi_error_free(&error);
}

} // namespace

VhdiSource::VhdiSource(const std::string& path, ContainerFormat::Kind kind, const SourceIdentity& identity)
    : ContainerSource(kind, identity) {
    try {
        std::string current = path;
        for (int depth = 0;; ++depth) {
            libvhdi_file_t* file = openOne(current);
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
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        libvhdi_error_t* error = nullptr;
        const ssize_t got = libvhdi_file_read_buffer_at_offset(chain_.front(), out + done, length - done,
                                                               static_cast<off64_t>(offset + done), &error);
        if (got < 0) {
            if (error != nullptr) libvhdi_error_free(&error);
            throw ErrorException(kErrReadDisk, diagnostic);
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

} // namespace resurgo

#endif
