// Carving hostile candidates: headers that state huge sizes, structures
// that point outside the candidate or at themselves. Each measures to the
// size its structure really gives (0: not carved), never past its bytes,
// and quickly; the well-formed rows show the checks are not simply
// refusing everything.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "recovery/OutputSink.h"
#include "recovery/carve/CarveSearch.h"
#include "recovery/carve/CarveWalks.h"
#include "recovery/carve/Carver.h"
#include "source/MemorySource.h"

#ifndef _WIN32
#include <unistd.h>
#endif

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

std::string le16(std::uint16_t v) { return std::string{static_cast<char>(v), static_cast<char>(v >> 8)}; }

// CRC-32 (ISO-HDLC), bit by bit.
std::uint32_t crcOf(const std::string& bytes) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (char b : bytes) {
        c ^= static_cast<std::uint8_t>(b);
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

// A RAR 4 block: its header (type, flags, fields after the size) with the
// CRC and size filled in, then data.
std::string rar4Block(std::uint8_t type, std::uint16_t flags, const std::string& fields, const std::string& data = "") {
    std::string header = std::string(1, static_cast<char>(type)) + le16(flags) +
                         le16(static_cast<std::uint16_t>(7 + fields.size())) + fields;
    return le16(static_cast<std::uint16_t>(crcOf(header))) + header + data;
}

// RAR 4: marker, main header, one stored file, end of archive.
std::string rar4(std::uint32_t packSize, const std::string& data) {
    const std::string name = "a.txt";
    const std::string file = le32(packSize) + le32(static_cast<std::uint32_t>(data.size())) + std::string(1, '\x02') +
                             le32(crcOf(data)) + le32(0x5A210000) + "\x1D\x30" + le16(static_cast<std::uint16_t>(name.size())) +
                             le32(0x20) + name;
    return std::string("Rar!\x1A\x07\x00", 7) + rar4Block(0x73, 0, std::string(6, '\0')) +
           rar4Block(0x74, 0x8000, file, data) + rar4Block(0x7B, 0x4000, "");
}

// A RAR 5 header of the given fields (type, flags, ...), vint sizes < 128.
std::string rar5Header(const std::string& fields, const std::string& data = "", bool badCrc = false) {
    const std::string sized = std::string(1, static_cast<char>(fields.size())) + fields;
    return le32(crcOf(sized) ^ (badCrc ? 1u : 0u)) + sized + data;
}

std::string rar5(bool badCrc) {
    const std::string data = "hello, carved world\n";
    // File header: type 2, flags: data area; data size; file flags, unpacked
    // size, attributes, compression info, host OS, name.
    const std::string file = std::string("\x02\x02", 2) + static_cast<char>(data.size()) + std::string("\x00", 1) +
                             static_cast<char>(data.size()) + std::string("\x20\x00\x00\x01\x05", 5) + "a.txt";
    return std::string("Rar!\x1A\x07\x01\x00", 8) + rar5Header(std::string("\x01\x00\x00", 3)) +
           rar5Header(file, data, badCrc) + rar5Header(std::string("\x05\x00\x00", 3));
}

// An OLE2 compound file of 512-byte sectors: header, allocation table
// (sector 0), directory (sector 1) with the root and one stream named name.
std::string ole(const std::string& name) {
    std::string header = std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(16, '\0') + le16(0x3E) +
                         le16(3) + le16(0xFFFE) + le16(9) + le16(6) + std::string(10, '\0') + le32(1) + le32(1) +
                         le32(0) + le32(4096) + le32(0xFFFFFFFE) + le32(0) + le32(0xFFFFFFFE) + le32(0) + le32(0);
    while (header.size() < 512) header += le32(0xFFFFFFFF);
    std::string fat = le32(0xFFFFFFFD) + le32(0xFFFFFFFE);
    while (fat.size() < 512) fat += le32(0xFFFFFFFF);
    auto entry = [](const std::string& n, std::uint8_t type, std::uint32_t child) {
        std::string e;
        for (char c : n) e += std::string{c, '\0'};
        e.resize(64, '\0');
        e += le16(static_cast<std::uint16_t>(2 * n.size() + 2)) + static_cast<char>(type) + '\x01' + le32(0xFFFFFFFF) +
             le32(0xFFFFFFFF) + le32(child);
        e.resize(128, '\0');
        return e;
    };
    std::string directory = entry("Root Entry", 5, 1) + entry(name, 2, 0xFFFFFFFF);
    directory.resize(512, '\0');
    for (std::size_t i = 256; i < 512; i += 128) directory.replace(i + 68, 12, std::string(12, '\xFF'));
    return header + fat + directory;
}

[[maybe_unused]] std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a tool makes of input, or "" when the tool is missing or fails.
std::string madeBy(const std::string& command, const std::string& input, const std::string& suffix) {
#ifdef _WIN32
    (void)command, (void)input, (void)suffix;
    return "";
#else
    const std::string base = "carve-hostile-" + std::to_string(::getpid());
    const std::string in = ::testing::TempDir() + base + ".in", out = ::testing::TempDir() + base + suffix;
    std::ofstream(in, std::ios::binary) << input;
    const std::string line = command + " <'" + in + "' >'" + out + "' 2>/dev/null";
    const std::string made = std::system(line.c_str()) == 0 ? fileBytes(out) : std::string();
    std::remove(in.c_str());
    std::remove(out.c_str());
    return made;
#endif
}

// A 16-bit mono WAV of n samples of a slow ramp.
std::string wav(std::uint32_t n) {
    std::string pcm;
    for (std::uint32_t i = 0; i < n; ++i) pcm += le16(static_cast<std::uint16_t>((i * 37) % 20000));
    return "RIFF" + le32(36 + static_cast<std::uint32_t>(pcm.size())) + "WAVEfmt " + le32(16) + le16(1) + le16(1) +
           le32(44100) + le32(88200) + le16(2) + le16(16) + "data" + le32(static_cast<std::uint32_t>(pcm.size())) + pcm;
}

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
        const char* type = nullptr;
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
        {"RAR 4, well formed", bytesOf(rar4(5, "hello"), 4096), rar4(5, "hello").size(), "rar"},
        {"RAR 4 file stating 4 GiB packed", bytesOf(rar4(0xFFFFFFF0, "hello"), 4096), 0},
        {"RAR 5, well formed", bytesOf(rar5(false), 4096), rar5(false).size(), "rar"},
        {"RAR 5 header failing its CRC", bytesOf(rar5(true), 4096), 0},
        {"RAR 5 header stating 2^63 bytes", bytesOf(std::string("Rar!\x1A\x07\x01\x00\0\0\0\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F", 17), 4096), 0},
        {"GZIP, unterminated name", bytesOf(std::string("\x1F\x8B\x08\x08\0\0\0\0\0\x03", 10) + std::string(5000, 'a'), 8192), 0},
        {"FLAC, STREAMINFO only", bytesOf(std::string("fLaC\x80\0\0\x22\x10\0\x10\0", 12), 4096), 0},
        {"OLE2 with WordDocument", bytesOf(ole("WordDocument"), 4096), 1536, "doc"},
        {"OLE2 with Workbook", bytesOf(ole("Workbook"), 4096), 1536, "xls"},
        {"OLE2 with PowerPoint Document", bytesOf(ole("PowerPoint Document"), 4096), 1536, "ppt"},
        {"OLE2 of a message", bytesOf(ole("__substg1.0_0037001F"), 4096), 1536, "msg"},
        {"OLE2 of something else", bytesOf(ole("Contents"), 4096), 1536, "ole"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MemorySource source(c.bytes);
        Carver carver(source);
        const auto started = std::chrono::steady_clock::now();
        Carver::Piece piece;
        const bool found = carver.measureAt(0, c.bytes.size(), piece);
        EXPECT_EQ(found ? piece.size : 0, c.size);
        if (found && c.type != nullptr) {
            EXPECT_STREQ(piece.type, c.type);
        }
        const Carver::Found all = carver.run({{0, c.bytes.size()}}, 512, 0, nullptr, nullptr);
        for (const Carver::Piece& p : all.pieces) EXPECT_LE(p.offset + p.size, c.bytes.size());
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 2.0);
    }
}

// Files made by the tools that write them, carved back whole from between
// other bytes; a member or frame damaged, and nothing is claimed.
TEST(CarveHostile, FilesMadeByTheirToolsMeasureToTheirLength) {
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + " of a carved text\n";
    const std::string gz = madeBy("gzip -c", text, ".gz");
    const std::string gz2 = gz.empty() ? "" : gz + madeBy("gzip -c", "second member\n", ".gz");
    const std::string flac = madeBy("flac --silent --stdout -", wav(30000), ".flac");
    if (gz.empty() || flac.empty()) GTEST_SKIP() << "gzip or flac is not installed";
    if (!CarveWalks::gzipSupported()) GTEST_SKIP() << "built without zlib";
    std::string gzBad = gz;
    gzBad[gz.size() - 6] ^= 1;  // the trailer's CRC-32
    std::string flacBad = flac;
    flacBad[flac.size() - 100] ^= 0x10;  // a byte of the last frame
    const struct {
        const char* what;
        std::string file;
        std::uint64_t size;
        const char* type;
    } cases[] = {
        {"gzip", gz, gz.size(), "gz"},
        {"gzip, two members", gz2, gz2.size(), "gz"},
        {"gzip, trailer CRC wrong", gzBad, 0, "gz"},
        {"flac", flac, flac.size(), "flac"},
        {"flac, last frame damaged", flacBad, 0, "flac"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> disk(4096, 0);
        disk.insert(disk.end(), c.file.begin(), c.file.end());
        disk.resize(disk.size() + 8192, 0x5A);
        MemorySource source(disk);
        const Carver::Found found = Carver(source).run({{0, disk.size()}}, 4096, 0, nullptr, nullptr);
        const bool whole = found.pieces.size() == 1 && found.pieces[0].offset == 4096;
        EXPECT_EQ(whole ? found.pieces[0].size : 0, c.size);
        if (whole) {
            EXPECT_STREQ(found.pieces[0].type, c.type);
        }
    }
}

namespace {

// LZNT1 of one chunk (at most 4096 bytes): literals, and runs of a
// repeated byte as back references of displacement 1.
std::string lznt1Chunk(const std::string& in) {
    std::string body;
    for (std::size_t pos = 0; pos < in.size();) {
        std::uint8_t flags = 0;
        std::string group;
        for (int bit = 0; bit < 8 && pos < in.size(); ++bit) {
            unsigned lengthBits = 12;
            for (std::size_t d = pos == 0 ? 0 : pos - 1; d >= 16; d >>= 1) --lengthBits;
            const std::size_t most = (1u << lengthBits) - 1 + 3;
            std::size_t run = 0;
            while (pos > 0 && pos + run < in.size() && run < most && in[pos + run] == in[pos - 1]) ++run;
            if (run >= 3) {
                flags |= static_cast<std::uint8_t>(1u << bit);
                group += le16(static_cast<std::uint16_t>(run - 3));
                pos += run;
            } else {
                group += in[pos++];
            }
        }
        body += static_cast<char>(flags) + group;
    }
    return le16(static_cast<std::uint16_t>(0xB000 | (body.size() - 1))) + body;
}

// NTFS compression units of 16 clusters of file, each padded with zeros
// to its clusters.
std::vector<std::string> units(const std::string& file, std::size_t cluster) {
    std::vector<std::string> out;
    for (std::size_t u = 0; u < file.size(); u += 16 * cluster) {
        std::string unit;
        for (std::size_t c = u; c < std::min(file.size(), u + 16 * cluster); c += 4096) unit += lznt1Chunk(file.substr(c, 4096));
        unit.resize((unit.size() + cluster - 1) / cluster * cluster, '\0');
        out.push_back(unit);
    }
    return out;
}

class StringSink : public OutputSink {
public:
    void write(const std::uint8_t* data, std::size_t length, const char*) override {
        bytes.append(reinterpret_cast<const char*>(data), length);
    }
    void setSize(std::uint64_t size) override { bytes.resize(static_cast<std::size_t>(size)); }
    void setTimes(std::uint64_t, std::uint64_t) override {}
    std::string bytes;
};

} // namespace

// A PPM in compressed units: carved whole and decompressed where its units
// lie back to back (clusters of 4 KiB and of 512 bytes), not at all where a
// foreign cluster sits between them.
TEST(CarveHostile, CompressedUnitsInFreeSpace) {
    std::string ppm = "P6\n200 150\n255\n";
    for (int i = 0; i < 200 * 150; ++i) ppm += std::string(3, static_cast<char>(i / 50));
    const struct {
        const char* what;
        std::size_t cluster;
        bool gap;
        std::uint64_t size;
    } cases[] = {
        {"4 KiB clusters", 4096, false, ppm.size()},
        {"512-byte clusters", 512, false, ppm.size()},
        {"a foreign cluster between units", 4096, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string disk(c.cluster, 'x');
        const std::vector<std::string> u = units(ppm, c.cluster);
        ASSERT_GE(u.size(), 2u);
        for (std::size_t i = 0; i < u.size(); ++i) disk += (c.gap && i == 1 ? std::string(c.cluster, '\x11') : "") + u[i];
        disk += std::string(4096, 'y');
        MemorySource source(std::vector<std::uint8_t>(disk.begin(), disk.end()));
        const Carver::Found found = Carver(source).run({{0, disk.size()}}, c.cluster, 0, nullptr, nullptr);
        const bool one = found.pieces.size() == 1;
        EXPECT_EQ(one ? found.pieces[0].size : 0, c.size);
        if (!one) continue;
        EXPECT_TRUE(found.pieces[0].compressed);
        EXPECT_EQ(found.pieces[0].offset, c.cluster);
        StringSink out;
        CarveSearch::copy(source, found.pieces[0].offset, found.pieces[0].size, true, out);
        EXPECT_TRUE(out.bytes == ppm);
    }
}

// Hints from a carved file's content: read where they are, never from
// outside the file, and nothing where the structure pointing at them is
// broken.
TEST(CarveHostile, ContentHints) {
    auto jpeg = [](std::uint32_t stringAt) {
        const std::string tiff = std::string("II*\0", 4) + le32(8) + le16(1) + le16(0x8769) + le16(4) + le32(1) +
                                 le32(26) + le32(0) + le16(1) + le16(0x9003) + le16(2) + le32(20) + le32(stringAt) +
                                 le32(0) + std::string("2019:05:03 14:22:10\0", 20);
        return std::string("\xFF\xD8\xFF\xE1", 4) + static_cast<char>((tiff.size() + 8) >> 8) +
               static_cast<char>((tiff.size() + 8) & 0xFF) + std::string("Exif\0\0", 6) + tiff +
               std::string("\xFF\xC0\0\x0B\x08\0\x01\0\x01\x01\x01\x11\0\xFF\xDA\0\x08\x01\x01\0\0\x3F\0\x12\x34\xFF\xD9", 27);
    };
    std::string pdf = "%PDF-1.4\n1 0 obj\n<< /Type /Outlines /Title (Chapter) >>\nendobj\n"
                      "2 0 obj\n<< /Title <FEFF00480069> /Author (x) >>\nendobj\n";
    const std::size_t xref = pdf.size();
    pdf += "xref\n0 3\n0000000000 65535 f \ntrailer\n<< /Size 3 /Info 2 0 R >>\nstartxref\n" + std::to_string(xref) +
           "\n%%EOF\n";
    const std::string docx = madeBy(
        "python3 -c \"import zipfile,io,sys; b=io.BytesIO(); z=zipfile.ZipFile(b,'w',zipfile.ZIP_DEFLATED); "
        "z.writestr('[Content_Types].xml','<Types/>'); z.writestr('word/document.xml','<w:document/>'); "
        "z.writestr('docProps/core.xml','<cp:coreProperties><dc:title>A &amp; B</dc:title></cp:coreProperties>'); "
        "z.close(); sys.stdout.buffer.write(b.getvalue())\"",
        "", ".docx");
    const struct {
        const char* what;
        std::string file;
        const char* taken;
        const char* title;
    } cases[] = {
        {"JPEG with EXIF DateTimeOriginal", jpeg(44), "2019-05-03T14:22:10", ""},
        {"JPEG whose EXIF time lies past the file", jpeg(0xFFFFFF00), "", ""},
        {"PDF: the information dictionary's title, not an outline's", pdf, "", "Hi"},
        {"DOCX: core.xml's dc:title, deflated", docx, "", CarveWalks::gzipSupported() ? "A & B" : ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.file.empty()) continue;  // python3 missing
        std::vector<std::uint8_t> disk(c.file.begin(), c.file.end());
        disk.resize(disk.size() + 4096, 0);
        MemorySource source(disk);
        const Carver::Found found = Carver(source).run({{0, disk.size()}}, 512, 0, nullptr, nullptr);
        ASSERT_EQ(found.pieces.size(), 1u);
        EXPECT_EQ(found.pieces[0].size, c.file.size());
        EXPECT_EQ(found.pieces[0].hint.taken, c.taken);
        EXPECT_EQ(found.pieces[0].hint.title, c.title);
    }
}
