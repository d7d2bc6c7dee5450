#include "file/MftReader.h"

#include <algorithm>
#include <cstring>

#include "core/ErrorException.h"
#include "volume/SectorBuffer.h"
#include "volume/Volume.h"

namespace resurgo {

namespace {
const char* const kEndOfFileDiag = "FileZ::getSectorOfNextCluster <End of file>";
} // namespace

MftReader::MftReader() = default;
MftReader::~MftReader() = default;

void MftReader::open(Volume& volume, const NTFS_GEOMETRY& geometry, std::uint64_t firstSector) {
    SectorBuffer buf(geometry.sectorsPerRecord(), geometry.bytesPerSector);
    volume.read(buf, firstSector);
    const std::uint64_t number =
        MFT_RECORD::storedRecordNumber(buf.data(), buf.size()).value_or(FileZ::kNoRecordNumber);
    openFromBytes(buf.data(), buf.size(), volume, geometry, firstSector, number);
}

void MftReader::openFromBytes(std::uint8_t* bytes, std::size_t length, Volume& volume, const NTFS_GEOMETRY& geometry,
                              std::uint64_t firstSector, std::uint64_t recordNumber) {
    volume_ = &volume;
    geometry_ = geometry;
    runTable_.clear();
    // The MFT's extension records are found through the runs known so
    // far: the table grows with every extent read.
    entry_.openFromBytes(bytes, length, volume, geometry, this, firstSector, recordNumber, true,
                         [this] { rebuildRunTable(); });
}

void MftReader::close() { entry_.close(); }

void MftReader::rebuildRunTable() {
    runTable_.clear();
    for (const DATA_ATTRIBUTE* d : entry_.dataExtents()) {
        if (!d->nonResident) continue;
        std::uint64_t vcn = static_cast<std::uint64_t>(d->startingVcn);
        for (const auto& run : d->runs) {
            runTable_.add(vcn, run.length, static_cast<std::uint64_t>(run.lcn), run.sparse);
            vcn += run.length;
        }
    }
    runTable_.sort();
}

std::uint64_t MftReader::sectorOfMftByte(std::uint64_t offset) const {
    std::uint64_t cb = geometry_.clusterBytes();
    if (cb == 0) throw ErrorException(kErrEndOfFile, kEndOfFileDiag);
    const MftRunTable::Run* run = runTable_.find(offset / cb);
    if (run == nullptr) throw ErrorException(kErrEndOfFile, kEndOfFileDiag);
    // The record a corrupt run list maps onto clusters mapped before is
    // not there: the first mapping holds the record those clusters do.
    if (run->repeated) throw ErrorException(kErrMftFormat, kRepeatedDiagnostic);
    std::uint64_t lcn = run->lcn + (offset / cb - run->vcn);
    return geometry_.clusterToSector(lcn) + (offset % cb) / geometry_.bytesPerSector;
}

std::uint64_t MftReader::recordCapacity() const {
    if (geometry_.mftRecordSize == 0) return 0;
    return runTable_.clusterCount() * geometry_.clusterBytes() / geometry_.mftRecordSize;
}

std::uint64_t MftReader::sectorOfRecord(std::uint64_t n) const {
    if (n >= recordCapacity()) throw ErrorException(kErrEndOfFile, kEndOfFileDiag);
    return sectorOfMftByte(n * geometry_.mftRecordSize);
}

std::uint64_t MftReader::getSectorOfRecord(std::uint64_t n) const {
    if (n >= recordCapacity()) throw ErrorException(kErrEndOfFile, kEndOfFileDiag);
    return sectorOfMftByte(n * geometry_.mftRecordSize);
}

std::uint64_t MftReader::getSectorOfReference(const FILE_REFERENCE& reference) const {
    return getSectorOfRecord(reference.recordNumber());
}

void MftReader::readRecords(std::uint64_t first, std::uint64_t count, std::uint8_t* out) const {
    std::uint64_t capacity = recordCapacity();
    if (first >= capacity || count > capacity - first) throw ErrorException(kErrEndOfFile, kEndOfFileDiag);
    if (volume_ == nullptr) throw ErrorException(kErrReadDisk, "Volume::read");
    const std::uint64_t cb = geometry_.clusterBytes();
    std::uint64_t offset = first * geometry_.mftRecordSize;
    std::uint64_t remaining = count * geometry_.mftRecordSize;
    while (remaining > 0) {
        std::uint64_t vcn = offset / cb;
        const MftRunTable::Run* run = runTable_.find(vcn);
        if (run == nullptr) throw ErrorException(kErrEndOfFile, kEndOfFileDiag);
        std::uint64_t inRun = (run->vcn + run->length - vcn) * cb - offset % cb;
        std::uint64_t take = std::min(inRun, remaining);
        if (run->sparse || run->repeated) {
            // Clusters mapped a second time read as no records: the walk
            // meets their records once, where they were first mapped.
            std::memset(out, 0, static_cast<std::size_t>(take));
        } else {
            std::uint64_t lcn = run->lcn + (vcn - run->vcn);
            if (lcn > UINT64_MAX / cb) throw ErrorException(kErrReadDisk, "Volume::read");
            volume_->readBytes(out, static_cast<std::size_t>(take), lcn * cb + offset % cb, "Volume::read");
        }
        out += take;
        offset += take;
        remaining -= take;
    }
}

std::uint64_t MftReader::getRealSize() const { return entry_.getRealSize(); }

} // namespace resurgo
