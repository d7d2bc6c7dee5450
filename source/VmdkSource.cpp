#include "source/VmdkSource.h"

#if defined(RESURGO_HAVE_CONTAINERS)

#include <libbfio.h>
#include <libvmdk.h>

#include "source/BfioHandle.h"
#include "source/FileSource.h"
#include "source/LibyalCalls.h"
#include "source/SourceError.h"

namespace resurgo {

namespace {

std::string takeError(libvmdk_error_t*& error) {
    return LibyalCalls::takeError(error, libvmdk_error_sprint, libvmdk_error_free);
}

void dropBfio(libbfio_error_t*& error) {
    if (error != nullptr) libbfio_error_free(&error);
}

void drop(libvmdk_error_t*& error) { LibyalCalls::drop(error, libvmdk_error_free); }

// The file name an extent descriptor gives ("" for an extent with no file).
std::string extentName(libvmdk_extent_descriptor_t* extent) {
    libvmdk_error_t* error = nullptr;
    std::size_t size = 0;
    if (libvmdk_extent_descriptor_get_utf8_filename_size(extent, &size, &error) != 1 || size < 2) {
        drop(error);
        return std::string();
    }
    std::string name(size, '\0');
    if (libvmdk_extent_descriptor_get_utf8_filename(extent, reinterpret_cast<std::uint8_t*>(name.data()), size,
                                                    &error) != 1) {
        drop(error);
        return std::string();
    }
    name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
    return name;
}

// Whether the file at path is a sparse extent itself (not a text descriptor).
bool holdsExtent(const std::string& path) {
    FileSource file(path);
    std::uint8_t head[4] = {};
    return file.readAt(head, sizeof head, 0, "VmdkSource::holdsExtent") == sizeof head &&
           ((head[0] == 'K' && head[1] == 'D' && head[2] == 'M' && head[3] == 'V') ||
            (head[0] == 'C' && head[1] == 'O' && head[2] == 'W' && head[3] == 'D'));
}

} // namespace

VmdkSource::VmdkSource(const std::string& path, const SourceIdentity& identity)
    : ContainerSource(ContainerFormat::Kind::Vmdk, identity) {
    libvmdk_error_t* error = nullptr;
    try {
        if (libvmdk_handle_initialize(&handle_, &error) != 1) {
            throw SourceError(kErrNoMemory, "cannot read the VMDK image " + path + ": " + takeError(error));
        }
        if (libvmdk_handle_open(handle_, path.c_str(), LIBVMDK_OPEN_READ, &error) != 1) {
            throw SourceError(kErrOpenDisk, "the VMDK image " + path + " has a damaged descriptor or header: " +
                                                takeError(error));
        }
        open_ = true;
        int extents = 0;
        if (libvmdk_handle_get_number_of_extents(handle_, &extents, &error) != 1 || extents < 1) {
            drop(error);
            throw SourceError(kErrOpenDisk, "the VMDK descriptor " + path + " names no extent");
        }
        // The extent files are opened here, each under the name found
        // beside the descriptor. A monolithic sparse file names itself in
        // its embedded descriptor, under the name it was made with: it is
        // its own extent whatever it is called now (and whatever file of
        // that name lies beside it).
        libbfio_error_t* bfioError = nullptr;
        if (libbfio_pool_initialize(&pool_, 0, 0, &bfioError) != 1) {
            dropBfio(bfioError);
            throw SourceError(kErrNoMemory, "cannot read the VMDK image " + path);
        }
        const bool selfContained = holdsExtent(path);
        for (int i = 0; i < extents; ++i) {
            libvmdk_extent_descriptor_t* extent = nullptr;
            if (libvmdk_handle_get_extent_descriptor(handle_, i, &extent, &error) != 1) {
                throw SourceError(kErrOpenDisk, "the VMDK descriptor " + path + " is damaged: " + takeError(error));
            }
            int type = 0;
            libvmdk_extent_descriptor_get_type(extent, &type, &error);
            drop(error);
            const std::string name = extentName(extent);
            libvmdk_extent_descriptor_free(&extent, &error);
            drop(error);
            if (type == LIBVMDK_EXTENT_TYPE_ZERO) continue;
            if (name.empty()) throw SourceError(kErrOpenDisk, "the VMDK descriptor " + path + " names an extent without a file");
            std::string file = directoryOf(path) + "/" + baseName(name);
            if (extents == 1 && selfContained) {
                file = path;
                extentFiles_.push_back(std::make_unique<FileSource>(path));
            } else {
                extentFiles_.push_back(openNamedFile(
                    file, "the extent file " + baseName(name) + " of the VMDK image " + path));
            }
            extentIo_.push_back(std::make_unique<BfioHandle>(*extentFiles_.back()));
            int entry = 0;
            if (libbfio_pool_append_handle(pool_, &entry, reinterpret_cast<libbfio_handle_t*>(extentIo_.back()->handle()),
                                           LIBBFIO_OPEN_READ, &bfioError) != 1) {
                dropBfio(bfioError);
                throw SourceError(kErrNoMemory, "cannot read the VMDK image " + path);
            }
            extentIo_.back()->release();  // the pool frees it
            if (file != path) files_.push_back(file);
        }
        files_.insert(files_.begin(), path);
        if (libvmdk_handle_open_extent_data_files_file_io_pool(handle_, pool_, &error) != 1) {
            throw SourceError(kErrOpenDisk, "the extents of the VMDK image " + path + " can't be read: " +
                                                takeError(error));
        }
        size64_t media = 0;
        if (libvmdk_handle_get_media_size(handle_, &media, &error) != 1) {
            throw SourceError(kErrOpenDisk, "the VMDK image " + path + " is damaged: " + takeError(error));
        }
        size_ = media;
    } catch (...) {
        closeAll();
        throw;
    }
}

VmdkSource::~VmdkSource() { closeAll(); }

void VmdkSource::closeAll() {
    libvmdk_error_t* error = nullptr;
    if (open_) libvmdk_handle_close(handle_, &error);
    drop(error);
    open_ = false;
    if (handle_ != nullptr) libvmdk_handle_free(&handle_, &error);
    drop(error);
    // The pool is the caller's: freed after the handle that used it.
    libbfio_error_t* bfioError = nullptr;
    if (pool_ != nullptr) libbfio_pool_free(&pool_, &bfioError);
    dropBfio(bfioError);
}

std::size_t VmdkSource::readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) {
    if (offset >= size_) return 0;
    if (length > size_ - offset) length = static_cast<std::size_t>(size_ - offset);
    std::lock_guard<std::mutex> lock(mutex_);
    return LibyalCalls::readFully<libvmdk_error_t>(handle_, libvmdk_handle_read_buffer_at_offset, libvmdk_error_free,
                                                   buffer, length, offset, diagnostic);
}

} // namespace resurgo

#endif
