#pragma once
// Which bytes of its disk a QCOW2 image stores: the clusters its L1 and L2
// tables map (to data or compressed data). Everything else reads as zeros
// (or from the backing file), however large the header says the disk is.
// Bytes in, values out: the tables are read through the image file.

#include <cstdint>
#include <utility>
#include <vector>

namespace resurgo {

class Source;

class QcowMap {
public:
    // Reads the header and the tables of file, the QCOW2 image itself. An
    // image this can't map (version 1, extended L2 entries, tables outside
    // the file or larger than it) maps as storing every byte, so that
    // nothing is ever skipped on a guess.
    static QcowMap read(Source& file);
    // The map of a disk that stores every byte of its length.
    static QcowMap whole(std::uint64_t length);

    // Adds what other (a backing file) stores.
    void add(const QcowMap& other);
    // The first offset at or after offset whose bytes are stored; UINT64_MAX
    // when none is.
    std::uint64_t storedFrom(std::uint64_t offset) const;
    // Bytes stored in all (of the disk's claimed length).
    std::uint64_t storedBytes() const;
    // The disk's length as the header gives it.
    std::uint64_t claimed() const { return claimed_; }
    bool everything() const { return everything_; }

private:
    void append(std::uint64_t start, std::uint64_t end);

    std::uint64_t claimed_ = 0;
    bool everything_ = true;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges_;  // [start, end), sorted, apart
};

} // namespace resurgo
