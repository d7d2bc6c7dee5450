#pragma once
// Where a restore writes a file's bytes: a new file, or memory in tests.
// Failures raise ErrorException (code 24 for writes).

#include <cstddef>
#include <cstdint>

namespace resurgo {

class OutputSink {
public:
    virtual ~OutputSink() = default;
    // Appends length bytes; diagnostic names the step for the error.
    virtual void write(const std::uint8_t* data, std::size_t length, const char* diagnostic) = 0;
    // Appends length zero bytes of a sparse hole; a sink that can leave
    // holes in its file does so, this one writes the zeros.
    virtual void skip(std::uint64_t length, const char* diagnostic) {
        static const std::uint8_t zeros[4096] = {};
        while (length > 0) {
            const std::size_t n = length < sizeof zeros ? static_cast<std::size_t>(length) : sizeof zeros;
            write(zeros, n, diagnostic);
            length -= n;
        }
    }
    // Cuts or extends the output to size bytes.
    virtual void setSize(std::uint64_t size) = 0;
    // The restored file keeps its own modification and access times (NTFS
    // units); a sink that can't set them ignores them.
    virtual void setTimes(std::uint64_t modifiedNt, std::uint64_t accessedNt) = 0;
};

} // namespace resurgo
