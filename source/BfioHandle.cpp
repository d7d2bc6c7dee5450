#include "source/BfioHandle.h"

#if defined(RESURGO_HAVE_CONTAINERS)

#include <libbfio.h>

#include <algorithm>

#include "core/ErrorException.h"
#include "source/Source.h"
#include "source/SourceError.h"
#include "source/VhdxLog.h"

namespace resurgo {

namespace {

using State = BfioHandle::State;
State& stateOf(intptr_t* io) { return *reinterpret_cast<State*>(io); }

int freeState(intptr_t**, libbfio_error_t**) { return 1; }
int cloneState(intptr_t**, intptr_t*, libbfio_error_t**) { return -1; }
int openState(intptr_t* io, int, libbfio_error_t**) {
    stateOf(io).position = 0;
    return 1;
}
int closeState(intptr_t*, libbfio_error_t**) { return 0; }
ssize_t readState(intptr_t* io, uint8_t* buffer, size_t size, libbfio_error_t**) {
    State& s = stateOf(io);
    if (s.position >= s.length) return 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size, s.length - s.position));
    std::size_t got = 0;
    try {
        got = s.source->readAt(buffer, want, s.position, "BfioHandle::read");
    } catch (const ErrorException&) {
        return -1;
    }
    // Past the physical end (a VHDX log may grow the file) the bytes are zeros.
    std::fill(buffer + got, buffer + want, std::uint8_t{0});
    if (s.log != nullptr) s.log->apply(buffer, want, s.position);
    s.position += want;
    return static_cast<ssize_t>(want);
}
ssize_t writeState(intptr_t*, const uint8_t*, size_t, libbfio_error_t**) { return -1; }
off64_t seekState(intptr_t* io, off64_t offset, int whence, libbfio_error_t**) {
    State& s = stateOf(io);
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return -1;
    const std::uint64_t base = whence == SEEK_CUR ? s.position : whence == SEEK_END ? s.length : 0;
    // Overflow-safe: a target below 0 or past 2^63 is refused.
    if (offset < 0 ? static_cast<std::uint64_t>(-(offset + 1)) >= base
                   : static_cast<std::uint64_t>(offset) > static_cast<std::uint64_t>(INT64_MAX) - base) {
        return -1;
    }
    s.position = offset < 0 ? base - static_cast<std::uint64_t>(-(offset + 1)) - 1 : base + static_cast<std::uint64_t>(offset);
    return static_cast<off64_t>(s.position);
}
int existsState(intptr_t*, libbfio_error_t**) { return 1; }
int isOpenState(intptr_t*, libbfio_error_t**) { return 1; }
int sizeState(intptr_t* io, size64_t* size, libbfio_error_t**) {
    *size = stateOf(io).length;
    return 1;
}

} // namespace

BfioHandle::BfioHandle(Source& source) : BfioHandle(source, nullptr, source.size()) {}

BfioHandle::BfioHandle(Source& source, const VhdxLog* log, std::uint64_t length) {
    state_.source = &source;
    state_.log = log;
    state_.length = length;
    libbfio_error_t* error = nullptr;
    libbfio_handle_t* handle = nullptr;
    if (libbfio_handle_initialize(&handle, reinterpret_cast<intptr_t*>(&state_), freeState, cloneState, openState,
                                  closeState, readState, writeState, seekState, existsState, isOpenState, sizeState,
                                  LIBBFIO_FLAG_IO_HANDLE_NON_MANAGED, &error) != 1) {
        if (error != nullptr) libbfio_error_free(&error);
        throw ErrorException(kErrNoMemory, "BfioHandle::BfioHandle");
    }
    handle_ = handle;
}

BfioHandle::~BfioHandle() {
    if (handle_ == nullptr) return;
    libbfio_error_t* error = nullptr;
    libbfio_handle_free(&handle_, &error);
    if (error != nullptr) libbfio_error_free(&error);
}

std::intptr_t* BfioHandle::release() {
    std::intptr_t* handle = handle_;
    handle_ = nullptr;
    return handle;
}

} // namespace resurgo

#else

namespace resurgo {

// Without the libraries no handle is ever made; owners still destroy theirs.
BfioHandle::~BfioHandle() = default;

} // namespace resurgo

#endif
