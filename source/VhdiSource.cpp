#include "source/VhdiSource.h"

#if defined(RESURGO_HAVE_CONTAINERS)

// The declarations that take a libbfio handle.
#define HAVE_LIBBFIO 1
#include <libbfio.h>
#include <libvhdi.h>

#include "source/BfioHandle.h"
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

libvhdi_file_t*& vhdiOf(std::intptr_t*& handle) { return reinterpret_cast<libvhdi_file_t*&>(handle); }

} // namespace

std::size_t VhdiSource::logEntriesReplayed() const {
    return !chain_.empty() && chain_.front().log ? chain_.front().log->entriesReplayed() : 0;
}

VhdiSource::VhdiSource(const std::string& path, ContainerFormat::Kind kind, const SourceIdentity& identity,
                       const std::function<void(int)>& progress)
    : ContainerSource(kind, identity) {
    try {
        // The image the user named, as a file (a device may hold one too).
        openLink(path, std::make_unique<FileSource>(path), progress);
        for (int depth = 0;; ++depth) {
            libvhdi_file_t* file = vhdiOf(chain_.back().vhdi);
            const std::string current = files_.back();
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
            // path): it is looked for beside the child, under its last part.
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
            const std::string base = baseName(name);
            if (base.empty() || base == "." || base == "..") {
                throw SourceError(kErrOpenDisk, "the differencing disk " + current + " names its parent " + name +
                                                    ", which is no file name");
            }
            const std::string parent = directoryOf(current) + "/" + base;
            openLink(parent, openNamedFile(parent, "the parent disk " + base + " of the differencing disk " + current),
                     {});
        }
        // Each disk reads the blocks it lacks from its parent.
        for (std::size_t i = chain_.size(); i-- > 1;) {
            libvhdi_error_t* error = nullptr;
            if (libvhdi_file_set_parent_file(vhdiOf(chain_[i - 1].vhdi), vhdiOf(chain_[i].vhdi), &error) != 1) {
                throw SourceError(kErrOpenDisk, "the parent disk " + files_[i] + " does not belong to " +
                                                    files_[i - 1] + ": " + takeError(error));
            }
        }
        libvhdi_error_t* error = nullptr;
        size64_t media = 0;
        if (libvhdi_file_get_media_size(vhdiOf(chain_.front().vhdi), &media, &error) != 1) {
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
    // Children before their parents, each before the file it reads.
    for (Link& link : chain_) release(vhdiOf(link.vhdi));
    chain_.clear();
}

void VhdiSource::openLink(const std::string& path, std::unique_ptr<FileSource> file,
                          const std::function<void(int)>& progress) {
    Link link;
    link.file = std::move(file);
    // A VHDX says in its headers whether a log waits to be replayed.
    if (chain_.empty() && kind() == ContainerFormat::Kind::Vhdx) {
        try {
            link.log = std::make_unique<VhdxLog>(*link.file, progress);
        } catch (const SourceError& e) {
            throw SourceError(e.code(), "the VHDX image " + path + " can't be read: " + e.message());
        }
        if (link.log->empty()) link.log.reset();
    }
    link.io = link.log ? std::make_unique<BfioHandle>(*link.file, link.log.get(), link.log->fileSize(link.file->size()))
                       : std::make_unique<BfioHandle>(*link.file);
    libvhdi_error_t* error = nullptr;
    libvhdi_file_t* vhdi = nullptr;
    if (libvhdi_file_initialize(&vhdi, &error) != 1) {
        throw SourceError(kErrNoMemory, "cannot read the image " + path + ": " + takeError(error));
    }
    if (libvhdi_file_open_file_io_handle(vhdi, reinterpret_cast<libbfio_handle_t*>(link.io->handle()),
                                         libvhdi_get_access_flags_read(), &error) != 1) {
        const std::string why = takeError(error);
        libvhdi_file_free(&vhdi, &error);
        if (error != nullptr) libvhdi_error_free(&error);
        throw SourceError(kErrOpenDisk, "the " + std::string(ContainerFormat::name(kind())) + " image " + path +
                                            (link.log ? " can't be read after replaying its log: "
                                                      : " can't be read (damaged or cut short): ") +
                                            why);
    }
    link.vhdi = reinterpret_cast<std::intptr_t*>(vhdi);
    chain_.push_back(std::move(link));
    files_.push_back(path);
}

std::size_t VhdiSource::readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) {
    if (offset >= size_) return 0;
    if (length > size_ - offset) length = static_cast<std::size_t>(size_ - offset);
    std::lock_guard<std::mutex> lock(mutex_);
    return LibyalCalls::readFully<libvhdi_error_t>(vhdiOf(chain_.front().vhdi), libvhdi_file_read_buffer_at_offset,
                                                   libvhdi_error_free, buffer, length, offset, diagnostic);
}

} // namespace resurgo

#endif
