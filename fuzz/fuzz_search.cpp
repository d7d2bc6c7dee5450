// A whole search plus the restore of every result over a small NTFS image
// (the demo fixture) whose MFT region is overwritten by the fuzzer's input,
// all through the platform seam in memory. The destination only counts
// bytes and reports a full disk past 16 MiB.
//
// The same input is also read as the start of a whole disk: its partition
// table (libblkid over a memory file) and the file system in each
// partition, as `resurgo partitions` reads them.
//
// Checked beyond the sanitizers: every source opened is closed exactly
// once, every output created is closed, a restore either succeeds or raises
// ErrorException with a code from the table.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "FuzzPlatform.h"
#include "core/ErrorException.h"
#include "file/FileZ.h"
#include "recovery/FilesystemNTFS.h"
#include "recovery/SearchJob.h"
#include "source/FileSystemProbe.h"
#include "source/MemorySource.h"
#include "source/PartitionTable.h"
#include "source/SliceSource.h"

using namespace resurgo;

namespace {

struct Image {
    std::vector<std::uint8_t> bytes;
    std::uint64_t mftOffset = 0;
    std::uint64_t mftBytes = 0;
};

const Image& image() {
    static const Image img = [] {
        Image i;
        const char* path = std::getenv("RESURGO_FUZZ_IMAGE");
        if (path == nullptr) path = RESURGO_FUZZ_IMAGE;
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "fuzz_search: cannot read %s\n", path);
            std::abort();
        }
        i.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        // The demo image: MFT at LCN 4, 21 clusters of 4 KiB (see its facts).
        const std::uint8_t* b = i.bytes.data();
        std::uint64_t mftLcn = 0;
        for (int k = 0; k < 8; ++k) mftLcn |= static_cast<std::uint64_t>(b[0x30 + k]) << (8 * k);
        const std::uint64_t clusterBytes = static_cast<std::uint64_t>(b[0x0B] | (b[0x0C] << 8)) * b[0x0D];
        i.mftOffset = mftLcn * clusterBytes;
        i.mftBytes = 21 * clusterBytes;
        return i;
    }();
    return img;
}

void checkCode(const ErrorException& e) {
    if (e.code() <= 0 || e.code() > ErrorException::tableSize()) std::abort();
}

// The input as the first bytes of a 4 MiB disk (the rest zeros): tables
// whose entries point anywhere, extended chains that loop, GPT headers
// naming huge entry arrays.
void readAsDisk(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kDisk = 4 << 20;
    std::vector<std::uint8_t> disk(kDisk, 0);
    std::copy(data, data + std::min(size, kDisk), disk.begin());
    MemorySource source(std::move(disk));
    try {
        const PartitionTable table = PartitionTable::read(source);
        for (const PARTITION_ENTRY& e : table.entries) {
            if (e.start >= source.size()) continue;
            SliceSource slice(source, e.start, std::min<std::uint64_t>(e.size, source.size() - e.start));
            FileSystemProbe::probe(slice);
        }
    } catch (const ErrorException& e) {
        checkCode(e);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    readAsDisk(data, size);
    const Image& img = image();
    fuzz::FuzzPlatform fp;
    fp.base = img.bytes.data();
    fp.baseSize = img.bytes.size();
    fp.overlay = data;
    fp.overlaySize = static_cast<std::size_t>(std::min<std::uint64_t>(size, img.mftBytes));
    fp.overlayOffset = img.mftOffset;
    {
        ScopedPlatform scoped(fp);
        SearchJob job;
        job.driveRoot = "mem:fuzz";
        job.days = 1000000;
        job.pattern = "*";
        job.run(nullptr, nullptr);
        std::vector<FOUND_FILE> found = job.filesystem.results();
        if (!found.empty()) {
            FilesystemNTFS& fs = job.filesystem;
            try {
                job.prepareGeometry();
                job.openFilesystem();
            } catch (const ErrorException& e) {
                checkCode(e);
                found.clear();
            }
            for (const FOUND_FILE& f : found) {
                fp.written = 0;
                try {
                    FileZ file;
                    file.openRecord(fs.volume(), fs.geometry(), &fs.mftEntry(), f.recordNumber);
                    OsHandle out = fs.openOutputFile("restored.bin", OutputMode::NewOnly);
                    try {
                        fs.copyFileZ(file, out);
                    } catch (...) {
                        platform().closeOutput(out);
                        throw;
                    }
                    platform().closeOutput(out);
                } catch (const ErrorException& e) {
                    checkCode(e);
                }
            }
            if (fs.isOpen()) job.closeFilesystem();
        }
    }
    if (fp.opens != fp.closes || fp.outputsOpen != 0) std::abort();
    return 0;
}
