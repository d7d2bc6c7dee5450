#pragma once
// How much of each found file's data reads back as zeros, from a sample of
// its clusters: the first cluster of each run on disk and one more per
// MiB of it. A drive that trimmed freed clusters (an SSD) returns zeros
// for them, and so does a disk whose free space was zeroed: the file comes
// back as zeros however intact its clusters look. Reads data, so only when
// asked (search --verify).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "recovery/FOUND_FILE.h"

namespace resurgo {

class FilesystemNTFS;

class ZeroSample {
public:
    // A cluster sampled per this many bytes of a run, besides its first.
    static constexpr std::uint64_t kStrideBytes = 1 << 20;

    explicit ZeroSample(FilesystemNTFS& fs);
    virtual ~ZeroSample();
    ZeroSample(const ZeroSample&) = delete;
    ZeroSample& operator=(const ZeroSample&) = delete;

    // Sets the zeroed share of results[from...] (by their MFT records);
    // files with no clusters on disk, or none that could be read, stay
    // FOUND_FILE::kNotSampled. A cancel leaves the rest unsampled.
    void apply(std::vector<FOUND_FILE>& results, std::size_t from, const std::atomic<std::uint8_t>* cancel);
    // The zeroed share of the file of MFT record n, or kNotSampled.
    std::uint8_t measure(std::uint64_t record);

private:
    FilesystemNTFS& fs_;
    std::vector<std::uint8_t> cluster_;
};

} // namespace resurgo
