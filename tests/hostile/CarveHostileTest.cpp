// Carving hostile candidates: headers that state huge sizes, structures
// that point outside the candidate or at themselves. Each measures to the
// size its structure really gives (0: not carved), never past its bytes,
// and quickly; the well-formed rows show the checks are not simply
// refusing everything.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "recovery/carve/Carver.h"
#include "source/MemorySource.h"

using namespace resurgo;

namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text, std::size_t padTo = 0) {
    std::vector<std::uint8_t> out(text.begin(), text.end());
    if (out.size() < padTo) out.resize(padTo, 0);
    return out;
}

std::string le32(std::uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
}

// A 1x1 grey PNG (IHDR, IDAT, IEND with their CRCs).
const std::string kPng = std::string("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\0\0\x01\0\0\0\x01\x08\0\0\0\0\x3A\x7E\x9B\x55"
                                     "\0\0\0\x0A" "IDAT\x78\x9C\x63\x60\0\0\0\x02\0\x01\x48\xAF\xA4\x71"
                                     "\0\0\0\0IEND\xAE\x42\x60\x82", 67);

} // namespace

TEST(CarveHostile, StatedSizesAndPointersNeverReachPastTheCandidate) {
    std::string png = kPng;
    std::string badCrc = kPng;
    badCrc[29] ^= 1;
    // TIFF whose first IFD's next pointer is itself.
    const std::string tiffLoop = std::string("II*\0\x08\0\0\0", 8) + std::string("\x01\0", 2) +
                                 std::string("\x00\x01\x03\0\x01\0\0\0\x01\0\0\0", 12) + le32(8);
    // ZIP whose central directory names a local header past itself.
    const std::string zipOutside = std::string("PK\x03\x04", 4) + std::string(26, '\0') + std::string("PK\x01\x02", 4) +
                                   std::string(38, '\0') + le32(1000) + std::string("PK\x05\x06\0\0\0\0\x01\0\x01\0", 12) +
                                   le32(46) + le32(30) + std::string(2, '\0');
    // SQLite header whose valid page count is 2^32 - 1 pages of 4 KiB.
    std::string sqliteHuge = std::string("SQLite format 3\0\x10\0", 18) + std::string(6, '\x01') +
                             std::string("\0\0\0\x05\xFF\xFF\xFF\xFF", 8);
    sqliteHuge.resize(92, '\0');
    sqliteHuge += std::string("\0\0\0\x05", 4);
    const struct {
        const char* what;
        std::vector<std::uint8_t> bytes;
        std::uint64_t size;  // what the carve gives: 0 for nothing
    } cases[] = {
        {"PNG, well formed", bytesOf(png, 4096), 67},
        {"PNG, a CRC wrong", bytesOf(badCrc, 4096), 0},
        {"PGM, well formed", bytesOf("P5\n2 2\n255\n\x01\x02\x03\x04", 4096), 15},
        {"PPM stating a raster past the end", bytesOf("P6\n99999 99999\n255\n", 4096), 0},
        {"BMP stating 4 GiB", bytesOf("BM" + le32(0xFFFFFFFF) + le32(0) + le32(54) + le32(40), 4096), 0},
        {"RIFF stating 4 GiB", bytesOf("RIFF" + le32(0xFFFFFFF0) + "WAVEfmt ", 4096), 0},
        {"MP4 box of 2^63 bytes", bytesOf(std::string("\0\0\0\x10" "ftypisom\0\0\0\0\0\0\0\x01moov\x80\0\0\0\0\0\0\0", 32), 4096), 0},
        {"7z whose start header fails its CRC", bytesOf(std::string("7z\xBC\xAF\x27\x1C\0\x04", 8) + std::string(24, '\xFF'), 4096), 0},
        {"SQLite of 2^32 pages", bytesOf(sqliteHuge, 4096), 0},
        {"MKV segment of unknown size", bytesOf(std::string("\x1A\x45\xDF\xA3\x80\x18\x53\x80\x67\xFF", 10), 4096), 0},
        {"JPEG without its end", bytesOf(std::string("\xFF\xD8\xFF\xE0\0\x10JFIF", 10), 4096), 0},
        {"TIFF whose IFD chain loops", bytesOf(tiffLoop, 4096), 26},
        {"ZIP entry outside the file", bytesOf(zipOutside, 4096), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MemorySource source(c.bytes);
        Carver carver(source);
        const auto started = std::chrono::steady_clock::now();
        Carver::Piece piece;
        const bool found = carver.measureAt(0, c.bytes.size(), piece);
        EXPECT_EQ(found ? piece.size : 0, c.size);
        const Carver::Found all = carver.run({{0, c.bytes.size()}}, 512, 0, nullptr, nullptr);
        for (const Carver::Piece& p : all.pieces) EXPECT_LE(p.offset + p.size, c.bytes.size());
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 2.0);
    }
}
