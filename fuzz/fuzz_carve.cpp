// The carving formats. The first byte picks a format of the table; the
// rest is a candidate that starts with that format's signature (written
// over its first bytes), measured with the rest as the free space it lies
// in. Then the whole input is carved at 512-byte steps (where LZNT1
// chunks at a step are decompressed and carved too). A size past the
// candidate's bytes, a crash or a hang is a finding.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "recovery/carve/CarveFormats.h"
#include "recovery/carve/Carver.h"
#include "recovery/carve/CompressedRun.h"
#include "source/MemorySource.h"

using namespace resurgo;

namespace {

// A head that passes the format's begins test, from the input's own bytes
// where they pass, else from a known good head.
void prime(const CARVE_FORMAT& f, std::vector<std::uint8_t>& bytes) {
    struct Head {
        const char* bytes;
        std::size_t length;
    };
    // In the table's order.
    static const Head kHeads[] = {
        {"\xFF\xD8\xFF\xE0", 4}, {"\x89PNG\r\n\x1A\n", 8}, {"GIF89a", 6}, {"BM\0\0\0\0\0\0\0\0", 10},
        {"II*\0", 4}, {"%PDF-", 5}, {"PK\x03\x04", 4}, {"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8},
        {"SQLite format 3\0", 16}, {"7z\xBC\xAF\x27\x1C", 6}, {"RIFF", 4}, {"OggS\0\x02", 6},
        {"\0\0\0\x20" "ftyp", 8}, {"\x1A\x45\xDF\xA3", 4}, {"\0\0\x01\xBA", 4}, {"P6\n", 3},
        {"gimp xcf ", 9}, {"#!/", 3}, {"ID3\x03\0", 5}, {"fLaC\0\0\0\x22", 8},
        {"Rar!\x1A\x07\x01\x00", 8}, {"\x1F\x8B\x08\0", 4},
    };
    if (bytes.size() < CarveFormats::kHeadBytes || f.begins(bytes.data())) return;
    const std::size_t index = static_cast<std::size_t>(&f - CarveFormats::table());
    if (index < sizeof kHeads / sizeof kHeads[0]) std::memcpy(bytes.data(), kHeads[index].bytes, kHeads[index].length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 + CarveFormats::kHeadBytes) return 0;
    const CARVE_FORMAT& f = CarveFormats::table()[data[0] % CarveFormats::count()];
    std::vector<std::uint8_t> bytes(data + 1, data + size);
    prime(f, bytes);
    MemorySource source(bytes);
    Carver carver(source);
    Carver::Piece piece;
    if (carver.measureAt(0, bytes.size(), piece) && piece.size > bytes.size()) std::abort();
    const Carver::Found found = carver.run({{0, bytes.size()}}, 512, 0, nullptr, nullptr);
    for (const Carver::Piece& p : found.pieces) {
        // A compressed file's units lie in the input; its size is what
        // they decompress to, at most a run's.
        if (p.offset + (p.compressed ? p.stored : p.size) > bytes.size()) std::abort();
        if (p.compressed && (p.size > CompressedRun::kMaxRunBytes || p.stored == 0)) std::abort();
    }
    return 0;
}
