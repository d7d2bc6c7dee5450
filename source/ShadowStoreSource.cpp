#include "source/ShadowStoreSource.h"

#if defined(RESURGO_HAVE_CONTAINERS)

#define HAVE_LIBBFIO 1
#include <libbfio.h>
#include <libvshadow.h>

#include "source/LibyalCalls.h"

namespace resurgo {

ShadowStoreSource::ShadowStoreSource(std::intptr_t* store, const SHADOW_STORE& info, Source& volume, std::mutex& lock)
    : store_(store), info_(info), volume_(volume), lock_(lock) {}

ShadowStoreSource::~ShadowStoreSource() {
    auto* store = reinterpret_cast<libvshadow_store_t*>(store_);
    std::lock_guard<std::mutex> guard(lock_);
    libvshadow_error_t* error = nullptr;
    libvshadow_store_free(&store, &error);
    LibyalCalls::drop(error, libvshadow_error_free);
}

std::size_t ShadowStoreSource::readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) {
    if (offset >= info_.volumeSize) return 0;
    if (length > info_.volumeSize - offset) length = static_cast<std::size_t>(info_.volumeSize - offset);
    std::lock_guard<std::mutex> guard(lock_);
    return LibyalCalls::readFully<libvshadow_error_t>(reinterpret_cast<libvshadow_store_t*>(store_),
                                                      libvshadow_store_read_buffer_at_offset, libvshadow_error_free,
                                                      buffer, length, offset, diagnostic);
}

} // namespace resurgo

#else

#include "core/ErrorException.h"

namespace resurgo {

ShadowStoreSource::ShadowStoreSource(std::intptr_t* store, const SHADOW_STORE& info, Source& volume, std::mutex& lock)
    : store_(store), info_(info), volume_(volume), lock_(lock) {}
ShadowStoreSource::~ShadowStoreSource() = default;
std::size_t ShadowStoreSource::readAt(void*, std::size_t, std::uint64_t, const char* diagnostic) {
    throw ErrorException(kErrReadDisk, diagnostic);
}

} // namespace resurgo

#endif

namespace resurgo {

SourceIdentity ShadowStoreSource::identity() const { return volume_.identity(); }

} // namespace resurgo
