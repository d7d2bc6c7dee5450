#pragma once
// A libbfio handle over one of our sources, for the container libraries
// (libqcow, libvhdi, libvmdk) to read a file we opened: a file a container
// names is opened here (as a regular file only, see FileSource), never by
// the library from the name, and a VHDX is read with its log replayed
// over it. Linux build only.

#include <cstdint>

namespace resurgo {

class Source;
class VhdxLog;

class BfioHandle {
public:
    // Reads source (which must outlive the handle), with log's writes laid
    // over it when log is given; the library sees length bytes (past the
    // source's end, zeros).
    BfioHandle(Source& source, const VhdxLog* log, std::uint64_t length);
    explicit BfioHandle(Source& source);
    ~BfioHandle();
    BfioHandle(const BfioHandle&) = delete;
    BfioHandle& operator=(const BfioHandle&) = delete;

    // The libbfio_handle_t, still owned by this object.
    std::intptr_t* handle() const { return handle_; }
    // Hands the libbfio handle over (to a libbfio pool, which frees it);
    // this object must still outlive it, as it holds what it reads.
    std::intptr_t* release();

    // What the callbacks work on (libbfio's io handle).
    struct State {
        Source* source = nullptr;
        const VhdxLog* log = nullptr;
        std::uint64_t length = 0;
        std::uint64_t position = 0;
    };

private:
    State state_;
    std::intptr_t* handle_ = nullptr;
};

} // namespace resurgo
