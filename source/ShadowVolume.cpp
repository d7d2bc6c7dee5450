#include "source/ShadowVolume.h"

#include "source/BfioHandle.h"
#include "source/ShadowCatalog.h"
#include "source/ShadowStoreSource.h"
#include "source/SourceError.h"

#if defined(RESURGO_HAVE_CONTAINERS)

// The declarations that take a libbfio handle.
#define HAVE_LIBBFIO 1
#include <libbfio.h>
#include <libvshadow.h>

#include <algorithm>
#include <numeric>

#include "source/LibyalCalls.h"

namespace resurgo {

namespace {

std::string takeError(libvshadow_error_t*& error) {
    return LibyalCalls::takeError(error, libvshadow_error_sprint, libvshadow_error_free);
}

libvshadow_volume_t*& volumeOf(std::intptr_t*& handle) { return reinterpret_cast<libvshadow_volume_t*&>(handle); }

SHADOW_STORE describe(libvshadow_store_t* store, int index) {
    SHADOW_STORE info;
    libvshadow_error_t* error = nullptr;
    std::uint8_t guid[16] = {};
    size64_t size = 0;
    std::uint64_t created = 0;
    if (libvshadow_store_get_identifier(store, guid, sizeof guid, &error) != 1 ||
        libvshadow_store_get_volume_size(store, &size, &error) != 1 ||
        libvshadow_store_get_creation_time(store, &created, &error) != 1) {
        throw SourceError(kErrUnrecognized, "shadow copy " + std::to_string(index + 1) + " can't be described: " +
                                                takeError(error));
    }
    info.identifier = ShadowCatalog::identifierText(guid);
    info.volumeSize = size;
    info.created = created;
    return info;
}

} // namespace

ShadowVolume::ShadowVolume(Source& volume) : volume_(volume) {
    const ShadowCatalog catalog = ShadowCatalog::read(volume);
    if (!catalog.present() || catalog.entries().empty()) return;
    try {
        io_ = std::make_unique<BfioHandle>(volume);
        libvshadow_error_t* error = nullptr;
        if (libvshadow_volume_initialize(&volumeOf(handle_), &error) != 1) {
            throw SourceError(kErrNoMemory, "the shadow copies can't be read: " + takeError(error));
        }
        if (libvshadow_volume_open_file_io_handle(volumeOf(handle_), reinterpret_cast<libbfio_handle_t*>(io_->handle()),
                                                  LIBVSHADOW_OPEN_READ, &error) != 1) {
            throw SourceError(kErrUnrecognized, "the shadow-copy catalog can't be read: " + takeError(error));
        }
        int count = 0;
        if (libvshadow_volume_get_number_of_stores(volumeOf(handle_), &count, &error) != 1) {
            throw SourceError(kErrUnrecognized, "the shadow-copy catalog can't be read: " + takeError(error));
        }
        std::vector<SHADOW_STORE> found;
        for (int i = 0; i < count; ++i) {
            libvshadow_store_t* store = nullptr;
            if (libvshadow_volume_get_store(volumeOf(handle_), i, &store, &error) != 1) {
                throw SourceError(kErrUnrecognized, "shadow copy " + std::to_string(i + 1) + " can't be read: " +
                                                        takeError(error));
            }
            // A store whose data is kept on another volume can't be read from this one.
            const int inVolume = libvshadow_store_has_in_volume_data(store, &error);
            LibyalCalls::drop(error, libvshadow_error_free);
            try {
                if (inVolume == 1) {
                    found.push_back(describe(store, i));
                    indexes_.push_back(i);
                }
            } catch (...) {
                libvshadow_store_free(&store, nullptr);
                throw;
            }
            libvshadow_store_free(&store, nullptr);
        }
        // Numbered from the oldest.
        std::vector<std::size_t> order(found.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&found](std::size_t a, std::size_t b) { return found[a].created < found[b].created; });
        std::vector<int> indexes;
        for (std::size_t k = 0; k < order.size(); ++k) {
            stores_.push_back(found[order[k]]);
            stores_.back().number = static_cast<unsigned>(k + 1);
            indexes.push_back(indexes_[order[k]]);
        }
        indexes_ = std::move(indexes);
    } catch (...) {
        close();
        throw;
    }
}

ShadowVolume::~ShadowVolume() { close(); }

void ShadowVolume::close() {
    LibyalCalls::release<libvshadow_error_t>(volumeOf(handle_), libvshadow_volume_close, libvshadow_volume_free,
                                             libvshadow_error_free);
}

bool ShadowVolume::readsStores() { return true; }

std::unique_ptr<Source> ShadowVolume::open(unsigned number) {
    if (number == 0 || number > stores_.size()) {
        throw SourceError(kErrUnrecognized, "there is no shadow copy " + std::to_string(number) + " (the volume has " +
                                                std::to_string(stores_.size()) + ")");
    }
    std::lock_guard<std::mutex> guard(mutex_);
    libvshadow_error_t* error = nullptr;
    libvshadow_store_t* store = nullptr;
    if (libvshadow_volume_get_store(volumeOf(handle_), indexes_[number - 1], &store, &error) != 1) {
        throw SourceError(kErrUnrecognized, "shadow copy " + std::to_string(number) + " can't be read: " +
                                                takeError(error));
    }
    return std::make_unique<ShadowStoreSource>(reinterpret_cast<std::intptr_t*>(store), stores_[number - 1], volume_,
                                               mutex_);
}

} // namespace resurgo

#else

namespace resurgo {

// Without the store reader, a volume with shadow copies says so; one
// without them simply has none.
ShadowVolume::ShadowVolume(Source& volume) : volume_(volume) {
    if (ShadowCatalog::read(volume).present()) {
        throw SourceError(kErrNotSupported, "this build reads the stores of shadow copies only on Linux");
    }
}
ShadowVolume::~ShadowVolume() = default;
void ShadowVolume::close() {}
bool ShadowVolume::readsStores() { return false; }
std::unique_ptr<Source> ShadowVolume::open(unsigned number) {
    throw SourceError(kErrNotSupported, "there is no shadow copy " + std::to_string(number) + " in this build");
}
} // namespace resurgo

#endif
