#pragma once
// Hand-built MFT records and tiny in-memory NTFS volumes for the file-model
// and recovery tests. Header-only so that every test folder can use it.
//
// A record is laid out as: header, update-sequence array at 0x30 (NTFS 3.1,
// own record number at 0x2C; or where the builder is told, 0x2A for the
// older layout without the number), attributes in the order added, end
// marker. build() protects every 512-byte stride with the update sequence
// number; layout() is the record as it reads after the fixup.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/TextUtf.h"
#include "ntfs/MFT_RECORD.h"
#include "ntfs/NTFS_GEOMETRY.h"

namespace resurgo::test::rb {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kStdInfo = 0x10, kAttrList = 0x20, kFileName = 0x30, kData = 0x80, kIndexRoot = 0x90;
constexpr std::uint8_t kPosix = 0, kWin32 = 1, kDos = 2, kWin32AndDos = 3;
constexpr std::uint16_t kInUse = 0x0001, kDirectory = 0x0002;
// 100 ns ticks per second and per day.
constexpr std::uint64_t kSecond = 10000000ULL;
constexpr std::uint64_t kDay = 86400ULL * kSecond;

inline void put(Bytes& b, std::size_t off, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b.at(off + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put16(Bytes& b, std::size_t off, std::uint64_t v) { put(b, off, v, 2); }
inline void put32(Bytes& b, std::size_t off, std::uint64_t v) { put(b, off, v, 4); }
inline void put64(Bytes& b, std::size_t off, std::uint64_t v) { put(b, off, v, 8); }
inline std::size_t align8(std::size_t v) { return (v + 7) & ~std::size_t{7}; }

inline Bytes utf16(const std::string& utf8) {
    Bytes b;
    for (char16_t c : TextUtf::toUtf16(utf8)) {
        b.push_back(static_cast<std::uint8_t>(c & 0xFF));
        b.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return b;
}
inline Bytes utf16(const std::u16string& units) {
    Bytes b;
    for (char16_t c : units) {
        b.push_back(static_cast<std::uint8_t>(c & 0xFF));
        b.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return b;
}
inline std::size_t utf16Units(const std::string& utf8) { return TextUtf::toUtf16(utf8).size(); }

inline std::uint64_t ref(std::uint64_t record, std::uint16_t sequence) {
    return record | (static_cast<std::uint64_t>(sequence) << 48);
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Four NTFS times (100 ns ticks since 1601, UTC).
struct Times {
    std::uint64_t created = 0, modified = 0, changed = 0, accessed = 0;
    static Times all(std::uint64_t t) { return Times{t, t, t, t}; }
};

inline Bytes resident(std::uint32_t type, const Bytes& value, const std::string& name = "", std::uint16_t flags = 0) {
    const std::size_t units = utf16Units(name);
    const std::size_t valueOff = align8(0x18 + 2 * units);
    Bytes a(align8(valueOff + value.size()), 0);
    put32(a, 0x00, type);
    put32(a, 0x04, a.size());
    a[0x09] = static_cast<std::uint8_t>(units);
    put16(a, 0x0A, 0x18);
    put16(a, 0x0C, flags);
    put32(a, 0x10, value.size());
    put16(a, 0x14, valueOff);
    Bytes n = utf16(name);
    std::copy(n.begin(), n.end(), a.begin() + 0x18);
    std::copy(value.begin(), value.end(), a.begin() + static_cast<std::ptrdiff_t>(valueOff));
    return a;
}

// One run of a run list: `clusters` at absolute `lcn`, or a sparse run.
struct Run {
    std::uint64_t lcn = 0;
    std::uint64_t clusters = 0;
    bool sparse = false;
};
inline Run sparseRun(std::uint64_t clusters) { return Run{0, clusters, true}; }

// Mapping pairs: length and signed LCN delta, each in as few bytes as fit.
inline Bytes runList(const std::vector<Run>& runs) {
    Bytes out;
    std::int64_t previous = 0;
    for (const Run& r : runs) {
        Bytes len;
        for (std::uint64_t v = r.clusters; v != 0 || len.empty(); v >>= 8) len.push_back(static_cast<std::uint8_t>(v));
        if (len.back() & 0x80) len.push_back(0);  // lengths are read as signed too
        Bytes off;
        if (!r.sparse) {
            std::int64_t delta = static_cast<std::int64_t>(r.lcn) - previous;
            previous = static_cast<std::int64_t>(r.lcn);
            for (;;) {
                off.push_back(static_cast<std::uint8_t>(delta & 0xFF));
                std::int64_t rest = delta >> 8;
                bool signOk = (delta & 0x80) ? rest == -1 : rest == 0;
                if ((rest == 0 || rest == -1) && signOk) break;
                delta = rest;
            }
        }
        out.push_back(static_cast<std::uint8_t>(len.size() | (off.size() << 4)));
        out.insert(out.end(), len.begin(), len.end());
        out.insert(out.end(), off.begin(), off.end());
    }
    out.push_back(0);
    return out;
}

inline std::uint64_t clustersOf(const std::vector<Run>& runs) {
    std::uint64_t n = 0;
    for (const Run& r : runs) n += r.clusters;
    return n;
}

struct NonResidentData {
    std::vector<Run> runs;
    // Mapping pairs taken as they are instead of the runs' encoding (with
    // lastVcn, as the clusters they cover are not known).
    std::optional<Bytes> mappingPairs;
    std::optional<std::uint64_t> lastVcn;
    std::uint64_t startVcn = 0;
    std::uint64_t dataSize = 0;
    std::uint64_t initializedSize = ~0ULL;  // ~0: the data size
    std::string name;                        // stream name ("" = unnamed data)
    std::uint16_t flags = 0;                 // 0x0001 compressed, 0x8000 sparse
    std::uint16_t compressionUnit = 0;
    std::uint32_t type = kData;
};

inline Bytes nonResident(const NonResidentData& s) {
    const Bytes runs = s.mappingPairs ? *s.mappingPairs : runList(s.runs);
    const std::size_t units = utf16Units(s.name);
    const std::size_t nameOff = 0x40;
    const std::size_t runOff = align8(nameOff + 2 * units);
    Bytes a(align8(runOff + runs.size()), 0);
    put32(a, 0x00, s.type);
    put32(a, 0x04, a.size());
    a[0x08] = 1;
    a[0x09] = static_cast<std::uint8_t>(units);
    put16(a, 0x0A, nameOff);
    put16(a, 0x0C, s.flags);
    const std::uint64_t clusters = clustersOf(s.runs);
    put64(a, 0x10, s.startVcn);
    put64(a, 0x18, s.lastVcn ? *s.lastVcn : s.startVcn + clusters - 1);
    put16(a, 0x20, runOff);
    put16(a, 0x22, s.compressionUnit);
    put64(a, 0x28, s.dataSize);  // allocated size: not used by the reader
    put64(a, 0x30, s.dataSize);
    put64(a, 0x38, s.initializedSize == ~0ULL ? s.dataSize : s.initializedSize);
    Bytes n = utf16(s.name);
    std::copy(n.begin(), n.end(), a.begin() + static_cast<std::ptrdiff_t>(nameOff));
    std::copy(runs.begin(), runs.end(), a.begin() + static_cast<std::ptrdiff_t>(runOff));
    return a;
}

inline Bytes standardInformation(const Times& t, std::uint32_t fileAttributes = 0x20) {
    Bytes v(0x48, 0);
    put64(v, 0x00, t.created);
    put64(v, 0x08, t.modified);
    put64(v, 0x10, t.changed);
    put64(v, 0x18, t.accessed);
    put32(v, 0x20, fileAttributes);
    return resident(kStdInfo, v);
}

// A name given as UTF-16 units goes to disk as it is (also unpaired
// surrogates).
inline Bytes fileName(std::uint64_t parent, const std::u16string& name, std::uint8_t nameSpace = kWin32,
                      const Times& t = Times::all(0)) {
    Bytes v(0x42, 0);
    put64(v, 0x00, parent);
    put64(v, 0x08, t.created);
    put64(v, 0x10, t.modified);
    put64(v, 0x18, t.changed);
    put64(v, 0x20, t.accessed);
    v[0x40] = static_cast<std::uint8_t>(name.size());
    v[0x41] = nameSpace;
    Bytes n = utf16(name);
    v.insert(v.end(), n.begin(), n.end());
    return resident(kFileName, v);
}
inline Bytes fileName(std::uint64_t parent, const std::string& name, std::uint8_t nameSpace = kWin32,
                      const Times& t = Times::all(0)) {
    return fileName(parent, TextUtf::toUtf16(name), nameSpace, t);
}

inline Bytes listEntry(std::uint32_t type, std::uint64_t startVcn, std::uint64_t reference, std::uint16_t id = 0,
                       const std::string& name = "") {
    const std::size_t units = utf16Units(name);
    Bytes e(align8(0x1A + 2 * units), 0);
    put32(e, 0x00, type);
    put16(e, 0x04, e.size());
    e[0x06] = static_cast<std::uint8_t>(units);
    e[0x07] = 0x1A;
    put64(e, 0x08, startVcn);
    put64(e, 0x10, reference);
    put16(e, 0x18, id);
    Bytes n = utf16(name);
    std::copy(n.begin(), n.end(), e.begin() + 0x1A);
    return e;
}
inline Bytes attributeList(const std::vector<Bytes>& entries) {
    Bytes v;
    for (const Bytes& e : entries) v.insert(v.end(), e.begin(), e.end());
    return resident(kAttrList, v);
}

class RecordBuilder {
public:
    explicit RecordBuilder(std::size_t size = 1024, std::size_t usaOffset = 0x30) : size_(size), usa_(usaOffset) {}
    RecordBuilder& add(Bytes attr) {
        put16(attr, 0x0E, attrs_.size());
        attrs_.push_back(std::move(attr));
        return *this;
    }
    std::size_t usaCount() const { return size_ / 512 + 1; }
    std::size_t firstAttribute() const { return align8(usa_ + 2 * usaCount()); }
    // Where attribute i starts (i == the count: the end marker).
    std::size_t attrOffset(std::size_t i) const {
        std::size_t pos = firstAttribute();
        for (std::size_t k = 0; k < i; ++k) pos += attrs_[k].size();
        return pos;
    }
    // The record as it reads after the fixup: the update sequence array
    // holds the true last word of every stride.
    Bytes layout() const {
        Bytes r(size_, 0);
        std::memcpy(r.data(), "FILE", 4);
        put16(r, 0x04, usa_);
        put16(r, 0x06, usaCount());
        put16(r, 0x10, sequence);
        put16(r, 0x12, hardLinks);
        put16(r, 0x14, firstAttribute());
        put16(r, 0x16, flags);
        put32(r, 0x1C, size_);
        put64(r, 0x20, baseReference);
        put16(r, 0x28, nextInstance.value_or(static_cast<std::uint16_t>(attrs_.size() + 1)));
        if (usa_ >= 0x30) put32(r, 0x2C, recordNumber);
        for (std::size_t i = 0; i < attrs_.size(); ++i) {
            std::copy(attrs_[i].begin(), attrs_[i].end(), r.begin() + static_cast<std::ptrdiff_t>(attrOffset(i)));
        }
        const std::size_t end = attrOffset(attrs_.size());
        put32(r, end, 0xFFFFFFFFu);
        put32(r, 0x18, end + 8);
        put16(r, usa_, usn);
        for (std::size_t i = 0; i + 1 < usaCount(); ++i) {
            const std::size_t last = (i + 1) * 512 - 2;
            r[usa_ + 2 + 2 * i] = r[last];
            r[usa_ + 3 + 2 * i] = r[last + 1];
        }
        return r;
    }
    // The record as written to disk: every stride ends in the sequence number.
    Bytes build() const {
        Bytes r = layout();
        for (std::size_t last = 510; last < size_; last += 512) put16(r, last, usn);
        return r;
    }

    std::uint16_t flags = kInUse;
    std::uint16_t sequence = 1;
    std::uint16_t hardLinks = 1;
    std::uint16_t usn = 0x0001;
    std::uint64_t baseReference = 0;
    std::uint32_t recordNumber = 0;
    // The next-instance counter; unset: one more than the attributes.
    std::optional<std::uint16_t> nextInstance;

private:
    std::size_t size_;
    std::size_t usa_;
    std::vector<Bytes> attrs_;
};

// A plain record: standard information, one name, optional unnamed data.
inline RecordBuilder fileRecord(std::uint32_t number, std::uint64_t parent, const std::string& name,
                                std::uint16_t flags, std::uint16_t sequence, const Times& t = Times::all(0),
                                std::size_t size = 1024) {
    RecordBuilder b(size);
    b.recordNumber = number;
    b.flags = flags;
    b.sequence = sequence;
    b.add(standardInformation(t));
    b.add(fileName(parent, name, kWin32, t));
    return b;
}

// An NTFS volume held in memory: the MFT lies in the given runs, record 0
// describes them, record 5 is the root directory. Serve `image` with
// MemoryPlatform under a "mem:" root path.
class MemoryVolume {
public:
    MemoryVolume(std::uint32_t sectorsPerCluster, std::vector<Run> mftRuns, std::uint64_t totalClusters,
                 std::uint32_t bytesPerSector = 512, std::uint32_t recordSize = 1024)
        : bytesPerSector_(bytesPerSector), sectorsPerCluster_(sectorsPerCluster), recordSize_(recordSize),
          totalClusters_(totalClusters), mftRuns_(std::move(mftRuns)),
          image(static_cast<std::size_t>(totalClusters * clusterBytes()), 0) {
        RecordBuilder mft(recordSize_);
        mft.add(standardInformation(Times::all(0), 0x06));
        mft.add(fileName(ref(5, 5), "$MFT", kWin32AndDos));
        NonResidentData data;
        data.runs = mftRuns_;
        data.dataSize = recordCapacity() * recordSize_;
        mft.add(nonResident(data));
        putRecord(0, mft.build());
        RecordBuilder root(recordSize_);
        root.recordNumber = 5;
        root.sequence = 5;
        root.flags = kInUse | kDirectory;
        root.add(standardInformation(Times::all(0), 0x06));
        root.add(fileName(ref(5, 5), ".", kWin32AndDos));
        putRecord(5, root.build());
    }

    std::uint64_t clusterBytes() const { return static_cast<std::uint64_t>(bytesPerSector_) * sectorsPerCluster_; }
    std::uint64_t recordCapacity() const { return clustersOf(mftRuns_) * clusterBytes() / recordSize_; }

    // Byte offset in the image of MFT byte `offset`, through the runs.
    std::uint64_t mftByte(std::uint64_t offset) const {
        std::uint64_t vcn = offset / clusterBytes();
        for (const Run& r : mftRuns_) {
            if (vcn < r.clusters) return (r.lcn + vcn) * clusterBytes() + offset % clusterBytes();
            vcn -= r.clusters;
        }
        return ~0ULL;
    }
    // Writes a record along the MFT's runs, byte by byte, so a record split
    // between two runs lands in both.
    void putRecord(std::uint64_t n, const Bytes& rec) {
        for (std::size_t i = 0; i < rec.size(); ++i) image.at(mftByte(n * recordSize_ + i)) = rec[i];
    }
    void putClusters(std::uint64_t lcn, const Bytes& bytes) {
        std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(lcn * clusterBytes()));
    }

    // As a boot sector would give it: runs are checked against the volume's clusters.
    NTFS_GEOMETRY geometry(const std::string& root = "mem:volume") const {
        NTFS_GEOMETRY g;
        std::int32_t perRecord = recordSize_ == 1024 ? -10 : recordSize_ == 2048 ? -11 : -12;
        g.init(root, bytesPerSector_, sectorsPerCluster_, perRecord, mftRuns_.front().lcn, mftRuns_.front().lcn, 1,
               totalClusters_);
        return g;
    }

private:
    std::uint32_t bytesPerSector_, sectorsPerCluster_, recordSize_;
    std::uint64_t totalClusters_;
    std::vector<Run> mftRuns_;

public:
    Bytes image;
};

} // namespace resurgo::test::rb
