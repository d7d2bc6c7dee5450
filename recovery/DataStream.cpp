#include "recovery/DataStream.h"

#include <algorithm>
#include <cstring>

#include "core/ErrorException.h"
#include "file/FileZ.h"
#include "ntfs/DATA_ATTRIBUTE.h"
#include "recovery/Lznt1.h"
#include "volume/Volume.h"

namespace resurgo {

namespace {

const char* const kExtentMissing = "FilesystemNTFS::copyFileZ <Data extent missing>";
// Largest compression unit NTFS uses: 2^4 clusters; 2^8 is allowed here.
constexpr std::uint32_t kMaxUnitShift = 8;
// Disk bytes read per request through the bounce buffer.
constexpr std::size_t kBounceBytes = 1 << 20;
// A run that gave bytes other than zeros (DataStream::runZeros_).
constexpr std::uint64_t kHasData = ~0ULL;

bool allZero(const std::uint8_t* bytes, std::size_t length) {
    return length == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, length - 1) == 0);
}

} // namespace

DataStream::DataStream(Volume& volume, const NTFS_GEOMETRY& geometry, const FileZ& entry)
    : volume_(volume),
      clusterBytes_(geometry.clusterBytes()),
      sectorBytes_(geometry.bytesPerSector != 0 ? geometry.bytesPerSector : 512) {
    const MFT_RECORD& base = entry.records().front();
    std::vector<const DATA_ATTRIBUTE*> extents = entry.dataExtents();
    if (extents.empty()) {
        if (!base.dataFound && !base.attributeListFound) {
            throw ErrorException(kErrRecordFormat,
                                 "FilesystemNTFS::copyFileZ <Data attribut not found and attribut list not found>");
        }
        throw ErrorException(kErrRecordFormat, "FilesystemNTFS::copyFileZ <Data attribut not found>");
    }
    const DATA_ATTRIBUTE* first = extents.front();
    if (!first->nonResident) {
        resident_ = first;
        size_ = first->value.size();
        initializedSize_ = size_;
        return;
    }
    if (first->startingVcn != 0) throw ErrorException(kErrRecordFormat, kExtentMissing);
    if (clusterBytes_ == 0) throw ErrorException(kErrRecordFormat, kExtentMissing);
    size_ = first->dataSize;
    initializedSize_ = std::min(first->initializedSize, size_);
    // Compression is a property of the stream (its attribute flags and
    // compression unit), whatever the standard information says.
    if (first->compressed && first->compressionUnit != 0 && first->compressionUnit <= kMaxUnitShift) {
        unitClusters_ = 1u << first->compressionUnit;
    }
    layOutRuns(extents);
}

DataStream::~DataStream() = default;

void DataStream::layOutRuns(const std::vector<const DATA_ATTRIBUTE*>& extents) {
    // Every extent's runs by VCN. For ordinary data the runs must follow
    // one another from VCN 0: the layout stops at the first gap or overlap,
    // and reads beyond it find no extent.
    for (const DATA_ATTRIBUTE* d : extents) {
        if (!d->nonResident) continue;
        std::uint64_t vcn = static_cast<std::uint64_t>(d->startingVcn);
        for (const auto& r : d->runs) {
            if (r.length != 0) runs_.push_back(Run{vcn, r.length, static_cast<std::uint64_t>(r.lcn), r.sparse});
            vcn += r.length;
        }
    }
    if (unitClusters_ == 0) {
        std::uint64_t expected = 0;
        for (std::size_t i = 0; i < runs_.size(); ++i) {
            if (runs_[i].vcn != expected) {
                runs_.resize(i);
                break;
            }
            expected += runs_[i].length;
        }
    }
    runZeros_.assign(runs_.size(), 0);
}

void DataStream::noteRunBytes(const Run* r, const std::uint8_t* bytes, std::size_t length, bool whole) {
    std::uint64_t& zeros = runZeros_[static_cast<std::size_t>(r - runs_.data())];
    if (zeros == kHasData) return;
    // Zeros a failed read filled in are not the drive's answer.
    zeros = whole && allZero(bytes, length) ? zeros + length : kHasData;
}

std::uint64_t DataStream::zeroedBytes() const {
    std::uint64_t n = 0;
    for (const std::uint64_t zeros : runZeros_) {
        if (zeros != kHasData) n += zeros;
    }
    return std::min(n, size_);
}

const DataStream::Run* DataStream::findRun(std::uint64_t vcn) const {
    auto it = std::upper_bound(runs_.begin(), runs_.end(), vcn,
                               [](std::uint64_t v, const Run& r) { return v < r.vcn; });
    if (it == runs_.begin()) return nullptr;
    --it;
    return vcn - it->vcn < it->length ? &*it : nullptr;
}

std::uint64_t DataStream::sparseRunsEnd(std::uint64_t vcn, bool alsoData) const {
    // Bounded by the number of runs, whatever their lengths.
    for (const Run* run = findRun(vcn); run != nullptr && (run->sparse || alsoData);) {
        const std::uint64_t end = run->vcn + run->length;
        if (end <= vcn) break;
        vcn = end;
        const Run* next = findRun(vcn);
        if (next == run) break;
        run = next;
    }
    return vcn;
}

std::uint64_t DataStream::holeAt(std::uint64_t offset, std::uint64_t length) const {
    if (resident_ != nullptr || offset >= size_ || length == 0) return 0;
    length = std::min(length, size_ - offset);
    const std::uint64_t cb = clusterBytes_;
    // Bytes of the clusters before vcn, or size_ past what 64 bits hold.
    auto bytesBefore = [this, cb](std::uint64_t vcn) { return vcn > size_ / cb ? size_ : vcn * cb; };
    std::uint64_t end = offset;
    if (unitClusters_ != 0) {
        // Past the initialized size a compressed stream reads as zeros,
        // extents or not.
        if (offset >= initializedSize_) return length;
        // Whole units whose clusters are all sparse.
        const std::uint64_t unitBytes = unitClusters_ * cb;
        const std::uint64_t unitVcn = offset / unitBytes * unitClusters_;
        const std::uint64_t sparseEnd = sparseRunsEnd(unitVcn, false);
        end = std::max(offset, bytesBefore(sparseEnd / unitClusters_ * unitClusters_));
        if (end > offset && end >= initializedSize_) end = size_;
    } else {
        // A plain stream: sparse runs, and clusters past the initialized
        // size, as far as runs cover them (a read where none does fails).
        const std::uint64_t vcn = offset / cb;
        const Run* run = findRun(vcn);
        if (run == nullptr) return 0;
        if (offset >= initializedSize_) {
            end = bytesBefore(sparseRunsEnd(vcn, true));
        } else if (run->sparse) {
            end = bytesBefore(sparseRunsEnd(vcn, false));
            if (end >= initializedSize_) end = std::max(end, bytesBefore(sparseRunsEnd(end / cb, true)));
        }
    }
    return end > offset ? std::min(end - offset, length) : 0;
}

std::uint64_t DataStream::storedBytes() const {
    if (resident_ != nullptr) return size_;
    std::uint64_t stored = 0;
    const bool compressed = unitClusters_ != 0;
    for (std::uint64_t at = 0; at < size_;) {
        if (const std::uint64_t hole = holeAt(at, size_ - at); hole != 0) {
            at += hole;
            continue;
        }
        // Data up to the end of its run (for compressed data, of the unit
        // the run ends in) or the initialized size: the loop goes run by
        // run, not unit by unit.
        std::uint64_t end = size_;
        const Run* run = findRun(at / clusterBytes_);
        std::uint64_t runEnd = run != nullptr && !run->sparse ? run->vcn + run->length : 0;
        if (compressed) {
            if (runEnd == 0) runEnd = at / clusterBytes_ + 1;  // a unit holding sparse and data clusters
            runEnd = runEnd > UINT64_MAX - unitClusters_ ? UINT64_MAX
                                                          : (runEnd + unitClusters_ - 1) / unitClusters_ * unitClusters_;
        }
        if (runEnd > at / clusterBytes_ && runEnd <= UINT64_MAX / clusterBytes_) end = runEnd * clusterBytes_;
        end = std::min(end, at < initializedSize_ ? initializedSize_ : size_);
        if (end <= at) end = size_;
        stored += end - at;
        at = end;
    }
    return stored;
}

std::size_t DataStream::read(std::uint64_t offset, std::uint8_t* buffer, std::size_t length) {
    return readAny(offset, buffer, length, false);
}

std::size_t DataStream::readSome(std::uint64_t offset, std::uint8_t* buffer, std::size_t length) {
    return readAny(offset, buffer, length, true);
}

std::size_t DataStream::readAny(std::uint64_t offset, std::uint8_t* buffer, std::size_t length, bool onePiece) {
    if (offset >= size_) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
    if (resident_ != nullptr) {
        std::memcpy(buffer, resident_->value.data() + offset, length);
        return length;
    }
    return unitClusters_ != 0 ? readCompressed(offset, buffer, length, onePiece)
                              : readPlain(offset, buffer, length, onePiece);
}

std::size_t DataStream::readPlain(std::uint64_t offset, std::uint8_t* buffer, std::size_t length, bool onePiece) {
    std::size_t done = 0;
    while (done < length && !(onePiece && done > 0)) {
        const std::uint64_t pos = offset + done;
        const Run* run = findRun(pos / clusterBytes_);
        if (run == nullptr) throw ErrorException(kErrRecordFormat, kExtentMissing);
        const std::uint64_t within = pos - run->vcn * clusterBytes_;
        std::uint64_t n = std::min<std::uint64_t>(length - done, run->length * clusterBytes_ - within);
        // Clusters past the initialized size hold stale bytes: zeros there.
        if (run->sparse || pos >= initializedSize_) {
            std::memset(buffer + done, 0, static_cast<std::size_t>(n));
        } else {
            n = std::min<std::uint64_t>(n, initializedSize_ - pos);
            if (run->lcn > UINT64_MAX / clusterBytes_) throw ErrorException(kErrReadDisk, "Volume::read");
            const bool whole =
                readDisk(run->lcn * clusterBytes_ + within, buffer + done, static_cast<std::size_t>(n), pos);
            noteRunBytes(run, buffer + done, static_cast<std::size_t>(n), whole);
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

bool DataStream::readDisk(std::uint64_t offset, std::uint8_t* buffer, std::size_t length, std::uint64_t fileOffset) {
    try {
        return readDiskOnce(offset, buffer, length);
    } catch (const ErrorException& e) {
        if (e.code() != kErrReadDisk) throw;
    }
    return salvage(offset, buffer, length, fileOffset);
}

bool DataStream::readDiskOnce(std::uint64_t offset, std::uint8_t* buffer, std::size_t length) {
    // Raw devices take whole sectors only: a range that starts or ends
    // inside a sector is read rounded out to sectors (still inside the
    // run's clusters) and cut to size.
    if (offset % sectorBytes_ == 0 && length % sectorBytes_ == 0) {
        volume_.readBytes(buffer, length, offset, "Volume::read");
        return true;
    }
    if (bounce_.size() < kBounceBytes) bounce_.resize(kBounceBytes);
    while (length > 0) {
        const std::uint64_t start = offset / sectorBytes_ * sectorBytes_;
        const std::size_t skip = static_cast<std::size_t>(offset - start);
        const std::size_t take = std::min<std::size_t>(length, bounce_.size() - sectorBytes_);
        const std::size_t span =
            static_cast<std::size_t>((skip + take + sectorBytes_ - 1) / sectorBytes_ * sectorBytes_);
        volume_.readBytes(bounce_.data(), span, start, "Volume::read");
        std::memcpy(buffer, bounce_.data() + skip, take);
        buffer += take;
        offset += take;
        length -= take;
    }
    return true;
}

bool DataStream::salvage(std::uint64_t offset, std::uint8_t* buffer, std::size_t length, std::uint64_t fileOffset) {
    bool whole = true;
    const std::uint64_t sourceEnd = volume_.sizeBytes;
    std::size_t done = 0;
    while (done < length) {
        const std::uint64_t at = offset + done;
        // Up to the next sector boundary.
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(length - done, sectorBytes_ - at % sectorBytes_));
        // Past the end of a cut-off source there is nothing to retry.
        if (sourceEnd != 0 && at >= sourceEnd) {
            std::memset(buffer + done, 0, length - done);
            noteUnreadable(fileOffset + done, length - done);
            return false;
        }
        bool ok = false;
        try {
            if (sourceEnd != 0 && n > sourceEnd - at) {
                // The sector the source ends in (an image cut anywhere):
                // the bytes before the end are there.
                const std::size_t present = static_cast<std::size_t>(sourceEnd - at);
                volume_.readBytes(buffer + done, present, at, "Volume::read");
                std::memset(buffer + done + present, 0, n - present);
                noteUnreadable(fileOffset + done + present, n - present);
                whole = false;
                ok = true;
            } else {
                ok = readDiskOnce(at, buffer + done, n);
            }
        } catch (const ErrorException& e) {
            if (e.code() != kErrReadDisk) throw;
        }
        if (!ok) {
            std::memset(buffer + done, 0, n);
            noteUnreadable(fileOffset + done, n);
            whole = false;
        }
        done += n;
    }
    return whole;
}

void DataStream::noteUnreadable(std::uint64_t fileOffset, std::uint64_t length) {
    if (fileOffset >= size_) return;
    length = std::min(length, size_ - fileOffset);
    if (!unreadable_.empty() && unreadable_.back().first + unreadable_.back().second == fileOffset) {
        unreadable_.back().second += length;
    } else {
        unreadable_.emplace_back(fileOffset, length);
    }
}

void DataStream::loadUnit(std::uint64_t u) {
    if (u == loadedUnit_) return;
    const std::uint64_t cb = clusterBytes_;
    const std::uint64_t unitBytes = unitClusters_ * cb;
    if (unitRaw_.size() != unitBytes) {
        unitRaw_.assign(static_cast<std::size_t>(unitBytes), 0);
        unitPlain_.assign(static_cast<std::size_t>(unitBytes), 0);
    }
    loadedUnit_ = ~0ULL;
    const std::uint64_t unitVcn = u * unitClusters_;
    const std::uint64_t unitEnd = unitVcn + unitClusters_;
    // Gather the unit's clusters: data clusters in order, and whether the
    // unit has sparse clusters (then it is stored compressed).
    std::uint64_t dataClusters = 0;
    std::uint64_t sparseClusters = 0;
    bool dataAfterSparse = false;
    bool unreadableUnit = false;
    const std::size_t unreadableBefore = unreadable_.size();
    std::uint64_t vcn = unitVcn;
    auto it = std::upper_bound(runs_.begin(), runs_.end(), unitVcn,
                               [](std::uint64_t v, const Run& r) { return v < r.vcn; });
    if (it != runs_.begin()) --it;
    for (; it != runs_.end() && vcn < unitEnd; ++it) {
        const Run& r = *it;
        if (r.vcn + r.length <= vcn) continue;
        if (r.vcn > vcn) break;  // a hole no extent covers
        const std::uint64_t from = vcn - r.vcn;
        const std::uint64_t take = std::min(r.length - from, unitEnd - vcn);
        if (r.sparse) {
            sparseClusters += take;
        } else {
            if (sparseClusters != 0) dataAfterSparse = true;
            const std::uint64_t lcn = r.lcn + from;
            if (lcn > UINT64_MAX / cb) throw ErrorException(kErrReadDisk, "Volume::readClusters");
            const bool whole = readDisk(lcn * cb, unitRaw_.data() + dataClusters * cb,
                                        static_cast<std::size_t>(take * cb), (vcn - unitVcn) * cb + u * unitBytes);
            if (!whole) unreadableUnit = true;
            noteRunBytes(&r, unitRaw_.data() + dataClusters * cb, static_cast<std::size_t>(take * cb), whole);
            dataClusters += take;
        }
        vcn += take;
    }
    if (vcn < unitEnd && vcn * cb < size_) throw ErrorException(kErrRecordFormat, kExtentMissing);

    if (unreadableUnit) {
        // Part of a stored unit is lost, and a compressed unit can't be
        // decoded past a hole: the whole unit reads as zeros and is noted
        // as unreadable (instead of the sectors alone).
        unreadable_.resize(unreadableBefore);
        std::memset(unitPlain_.data(), 0, unitPlain_.size());
        unitData_ = unitPlain_.data();
        noteUnreadable(u * unitBytes, unitBytes);
    } else if (dataClusters == 0) {
        std::memset(unitPlain_.data(), 0, unitPlain_.size());  // a sparse unit
        unitData_ = unitPlain_.data();
    } else if (sparseClusters == 0 && vcn == unitEnd) {
        unitData_ = unitRaw_.data();  // stored uncompressed
    } else {
        std::memset(unitRaw_.data() + dataClusters * cb, 0, static_cast<std::size_t>((unitClusters_ - dataClusters) * cb));
        std::memset(unitPlain_.data(), 0, unitPlain_.size());
        std::uint32_t n = dataAfterSparse ? 0
                                          : Lznt1::decompress(unitPlain_.data(), unitPlain_.size(), unitRaw_.data(),
                                                              static_cast<std::size_t>(dataClusters * cb));
        // Written as zeros, so later bytes keep their offsets.
        if (n == 0) damaged_.insert(u);
        unitData_ = unitPlain_.data();
    }
    loadedUnit_ = u;
}

std::size_t DataStream::readCompressed(std::uint64_t offset, std::uint8_t* buffer, std::size_t length,
                                      bool onePiece) {
    const std::uint64_t unitBytes = unitClusters_ * clusterBytes_;
    std::size_t done = 0;
    while (done < length && !(onePiece && done > 0)) {
        const std::uint64_t pos = offset + done;
        const std::uint64_t u = pos / unitBytes;
        const std::uint64_t within = pos - u * unitBytes;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, unitBytes - within));
        // Past the initialized size the file reads as zeros.
        const std::size_t keep =
            initializedSize_ > pos ? static_cast<std::size_t>(std::min<std::uint64_t>(n, initializedSize_ - pos)) : 0;
        if (keep > 0) {
            loadUnit(u);
            std::memcpy(buffer + done, unitData_ + within, keep);
        }
        if (n > keep) std::memset(buffer + done + keep, 0, n - keep);
        done += n;
    }
    return done;
}

} // namespace resurgo
