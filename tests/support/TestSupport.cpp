#include "support/TestSupport.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace resurgo::test {

std::string fixtureImage(const std::string& name) {
    return (fs::path(RESURGO_FIXTURE_DIR) / (name + ".img")).string();
}

bool fixtureAvailable(const std::string& name) { return fs::exists(fixtureImage(name)); }

nlohmann::json fixtureFacts(const std::string& name) {
    std::ifstream in(fs::path(RESURGO_FIXTURE_SRC) / (name + ".facts.json"));
    if (!in) throw std::runtime_error("missing facts for fixture " + name);
    nlohmann::json j;
    in >> j;
    return j;
}

namespace {
long processId() {
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(::getpid());
#endif
}
} // namespace

std::string tempDir(const std::string& tag) {
    static std::atomic<int> counter{0};
    // ctest runs tests of one executable in parallel processes: the process
    // id keeps their directories apart.
    fs::path p = fs::path(RESURGO_FIXTURE_DIR).parent_path() / "test-tmp" /
                 (tag + "-" + std::to_string(processId()) + "-" + std::to_string(counter++));
    std::error_code ec;
    fs::remove_all(p, ec);
    fs::create_directories(p);
    return p.string();
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(fs::u8path(path), std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(fs::u8path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string copyFile(const std::string& from, const std::string& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_write, fs::perm_options::add);
    return to;
}

void patchFile(const std::string& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
    std::fstream f(fs::u8path(path), std::ios::binary | std::ios::in | std::ios::out);
    if (!f) throw std::runtime_error("cannot patch " + path);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot patch " + path);
}

// Compact SHA-256 for comparing restored content with the fixture facts.
std::string sha256Hex(const std::vector<std::uint8_t>& data) {
    static const std::uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::vector<std::uint8_t> m(data);
    std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int i = 7; i >= 0; --i) m.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    auto rotr = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    for (std::size_t off = 0; off < m.size(); off += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = (std::uint32_t(m[off + 4 * i]) << 24) | (std::uint32_t(m[off + 4 * i + 1]) << 16) |
                   (std::uint32_t(m[off + 4 * i + 2]) << 8) | std::uint32_t(m[off + 4 * i + 3]);
        }
        for (int i = 16; i < 64; ++i) {
            std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            std::uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
            std::uint32_t ch = (e & f) ^ (~e & g);
            std::uint32_t t1 = hh + S1 + ch + k[i] + w[i];
            std::uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
            std::uint32_t mj = (a & b) ^ (a & c) ^ (b & c);
            std::uint32_t t2 = S0 + mj;
            hh = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
        }
        h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
    }
    std::ostringstream out;
    static const char* hex = "0123456789abcdef";
    for (std::uint32_t v : h) {
        for (int i = 28; i >= 0; i -= 4) out << hex[(v >> i) & 0xF];
    }
    return out.str();
}

namespace {
constexpr OsHandle kMemoryHandle = 0x5EED;
}

OsHandle MemoryPlatform::openSource(const std::string& path) {
    if (path.rfind("mem:", 0) != 0) return DelegatingPlatform::openSource(path);
    ++opens;
    return kMemoryHandle;
}

bool MemoryPlatform::querySource(OsHandle h, SourceGeometry& out) {
    if (h != kMemoryHandle) return DelegatingPlatform::querySource(h, out);
    out = SourceGeometry{};
    out.fromDevice = true;
    out.bytesPerSector = sectorSize_;
    out.sectorsPerTrack = 1;
    out.tracksPerCylinder = 1;
    out.cylinders = image_.size() / sectorSize_;
    out.sizeBytes = image_.size();
    return true;
}

bool MemoryPlatform::readAt(OsHandle h, void* b, std::size_t n, std::uint64_t off, std::size_t& got) {
    if (h != kMemoryHandle) return DelegatingPlatform::readAt(h, b, n, off, got);
    for (const auto& r : badRanges) {
        if (off < r.first + r.second && r.first < off + n) {
            errno = EIO;
            return false;
        }
    }
    got = 0;
    if (off >= image_.size()) return true;
    std::size_t avail = static_cast<std::size_t>(image_.size() - off);
    std::size_t take = n < avail ? n : avail;
    if (shortReadLimit != 0 && take > shortReadLimit) take = shortReadLimit;
    std::memcpy(b, image_.data() + off, take);
    got = take;
    return true;
}

bool MemoryPlatform::closeSource(OsHandle h) {
    if (h != kMemoryHandle) return DelegatingPlatform::closeSource(h);
    ++closes;
    return true;
}

std::string bitLockerImages() {
#if defined(_WIN32)
    return "";
#else
    const char* env = std::getenv("RESURGO_REAL_IMAGES");
    const std::string tarball = std::string(env != nullptr ? env : RESURGO_REAL_IMAGES) +
                                "/bitlocker/bitlk-images.tar.xz";
    const std::string into = std::string(RESURGO_FIXTURE_DIR) + "/bitlocker";
    const std::string dir = into + "/bitlk-images";
    if (std::ifstream(dir + "/images.conf").good()) return dir;
    if (!std::ifstream(tarball).good()) return "";
    // Another test process may unpack at the same time: each unpacks into
    // its own folder and renames it into place.
    const std::string own = into + "/unpack." + std::to_string(::getpid());
    const std::string command = "mkdir -p '" + own + "' && tar -xJf '" + tarball + "' -C '" + own + "' && mv -T '" +
                                own + "/bitlk-images' '" + dir + "' 2>/dev/null; rm -rf '" + own + "'";
    if (std::system(command.c_str()) != 0) return "";
    return std::ifstream(dir + "/images.conf").good() ? dir : "";
#endif
}

std::vector<std::map<std::string, std::string>> bitLockerVolumes() {
    std::vector<std::map<std::string, std::string>> volumes;
    std::ifstream conf(bitLockerImages() + "/images.conf");
    for (std::string line; std::getline(conf, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            volumes.push_back({{"name", line.substr(1, line.size() - 2)}});
        } else if (const auto eq = line.find('='); eq != std::string::npos && !volumes.empty()) {
            volumes.back()[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return volumes;
}

} // namespace resurgo::test
