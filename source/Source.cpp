#include "source/Source.h"

#include "core/ErrorException.h"

namespace resurgo {

Source::~Source() = default;

void Source::readExact(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) {
    const std::uint64_t total = size();
    // A range past the end of the source is an error, never silent zeros.
    if (total != 0 && (offset > total || length > total - offset)) throw ErrorException(kErrReadDisk, diagnostic);
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        const std::size_t want = length - done;
        std::size_t got = readAt(out + done, want, offset + done, diagnostic);
        // Fewer bytes than asked means the source ended early.
        if (got == 0 || got > want) throw ErrorException(kErrReadDisk, diagnostic);
        done += got;
        if (got < want) throw ErrorException(kErrReadDisk, diagnostic);
    }
}

} // namespace resurgo
