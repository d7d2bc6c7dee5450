#pragma once
// Writes a long text made of numbered blocks: the blocks are formatted on a
// few threads, the caller's among them, and written strictly in order as
// they come. Threads run at most `window` blocks ahead of the writer, so
// memory stays bounded however many blocks there are.

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>

namespace resurgo::cli {

class OrderedBlockWriter {
public:
    // Appends block b's text to text (which arrives empty).
    using Format = std::function<void(std::size_t b, std::string& text)>;
    // Told, on the writing thread, how many blocks are written so far.
    using Written = std::function<void(std::size_t written)>;

    // Formats and writes blocks 0 .. count-1 on up to `threads` threads in
    // all. An exception from format is raised here once every thread has
    // stopped, after the blocks before the failing one have been written.
    static void write(std::ostream& out, std::size_t count, std::size_t threads, std::size_t window,
                      const Format& format, const Written& written = nullptr);
};

} // namespace resurgo::cli
