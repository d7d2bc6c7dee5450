#include "recovery/LiveRecords.h"

#include <algorithm>
#include <cstring>

#include "core/ByteReader.h"
#include "file/FileZ.h"
#include "recovery/FilesystemNTFS.h"

namespace resurgo {

namespace {
// Bytes of the MFT read at a time.
constexpr std::size_t kChunkBytes = 1 << 20;
} // namespace

std::uint32_t LiveRecords::hashName(const std::string& name) {
    std::uint32_t h = 2166136261u;
    for (unsigned char c : name) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

bool LiveRecords::holds(std::uint64_t record, std::uint16_t sequence, const std::string& name) const {
    if (record >= records_.size()) return false;
    const Record& r = records_[static_cast<std::size_t>(record)];
    return r.inUse && r.sequence == sequence && r.nameHash == hashName(name);
}

LiveRecords LiveRecords::read(FilesystemNTFS& fs, const std::atomic<std::uint8_t>* cancel) {
    LiveRecords live;
    const NTFS_GEOMETRY& geometry = fs.geometry();
    const std::uint32_t recordSize = geometry.mftRecordSize;
    MftReader& mft = fs.mftEntry();
    if (recordSize == 0) return live;
    std::uint64_t capacity = mft.recordCapacity();
    if (fs.volume().sizeBytes != 0) capacity = std::min<std::uint64_t>(capacity, fs.volume().sizeBytes / recordSize);
    live.records_.resize(static_cast<std::size_t>(capacity));
    const std::uint64_t chunk = std::max<std::uint64_t>(1, kChunkBytes / recordSize);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(chunk * recordSize));
    FileZ file;
    for (std::uint64_t first = 0; first < capacity; first += chunk) {
        if (cancel != nullptr && cancel->load() == 1) break;
        const std::uint64_t count = std::min(chunk, capacity - first);
        try {
            mft.readRecords(first, count, bytes.data());
        } catch (const ErrorException&) {
            continue;  // unreadable records hold nothing
        }
        for (std::uint64_t k = 0; k < count; ++k) {
            std::uint8_t* raw = bytes.data() + k * recordSize;
            if (std::memcmp(raw + MFT_RECORD::kSignature, "FILE", 4) != 0) continue;
            const ByteReader r(raw, recordSize, kErrRecordFormat, "LiveRecords::read");
            if ((r.u16(MFT_RECORD::kFlags) & MFT_RECORD::kFlagInUse) == 0 || r.u64(MFT_RECORD::kBaseReference) != 0) {
                continue;
            }
            Record& rec = live.records_[static_cast<std::size_t>(first + k)];
            rec.sequence = r.u16(MFT_RECORD::kSequenceNumber);
            try {
                file.openFromBytes(raw, recordSize, fs.volume(), geometry, &mft, mft.getSectorOfRecord(first + k),
                                   first + k, false);
                rec.nameHash = hashName(file.getName());
                rec.inUse = true;
            } catch (const ErrorException&) {
                // A record whose name can't be read holds no file we can name.
            }
        }
    }
    return live;
}

} // namespace resurgo
