#include "file/FileZ.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "core/ErrorException.h"
#include "file/MftReader.h"
#include "file/WildcardMatcher.h"
#include "volume/SectorBuffer.h"
#include "volume/Volume.h"

namespace resurgo {

namespace {

bool isNameSpaceShown(std::uint8_t ns) {
    return ns == FILE_NAME_ENTRY::kPosix || ns == FILE_NAME_ENTRY::kWin32 || ns == FILE_NAME_ENTRY::kWin32AndDos;
}

} // namespace

FileZ::FileZ() = default;
FileZ::~FileZ() = default;

void FileZ::open(Volume& volume, const NTFS_GEOMETRY& geometry, const MftReader* mft, std::uint64_t firstSector) {
    geometry_ = geometry;
    mft_ = mft;
    SectorBuffer buf(geometry.sectorsPerRecord(), geometry.bytesPerSector);
    volume.read(buf, firstSector);
    const std::uint64_t number = MFT_RECORD::storedRecordNumber(buf.data(), buf.size()).value_or(kNoRecordNumber);
    openFromBytes(buf.data(), buf.size(), volume, geometry, mft, firstSector, number);
}

void FileZ::openRecord(Volume& volume, const NTFS_GEOMETRY& geometry, const MftReader* mft,
                       std::uint64_t recordNumber) {
    geometry_ = geometry;
    mft_ = mft;
    SectorBuffer buf(geometry.sectorsPerRecord(), geometry.bytesPerSector);
    std::uint64_t sector = mft->getSectorOfRecord(recordNumber);
    mft->readRecords(recordNumber, 1, buf.data());
    openFromBytes(buf.data(), buf.size(), volume, geometry, mft, sector, recordNumber);
}

void FileZ::openFromBytes(std::uint8_t* bytes, std::size_t length, Volume& volume, const NTFS_GEOMETRY& geometry,
                          const MftReader* mft, std::uint64_t firstSector, std::uint64_t recordNumber,
                          bool keepResidentValues, const std::function<void()>& extentsChanged) {
    geometry_ = geometry;
    mft_ = mft;
    volume_ = &volume;
    const MFT_RECORD& base = parseBase(bytes, length, keepResidentValues);
    // A file with an attribute list may keep its names in extension
    // records only: look for names after the list has been followed.
    if (!base.fileNameFound && !base.attributeListFound) {
        throw ErrorException(kErrNoFileName, "FileZ::open <Filename attribut not found>");
    }
    recordNumber_ = recordNumber;
    finishOpen(firstSector, extentsChanged);
    if (records_.front().fileNames.empty()) {
        throw ErrorException(kErrNoFileName, "FileZ::open <Filename attribut not found>");
    }
}

MFT_RECORD& FileZ::parseBase(std::uint8_t* bytes, std::size_t length, bool keepResidentValues) {
    // The base record is parsed in place of the last one opened, so that an
    // entry reused for many records keeps its storage.
    records_.resize(1);
    MFT_RECORD& base = records_.front();
    base.keepResidentValues = keepResidentValues;
    base.parse(bytes, length, geometry_);
    readAttributeLists(base);
    if (base.baseReference.raw() != 0) {
        throw ErrorException(kErrExtensionRecord, "FileZ::open <Extended MFT record found>");
    }
    if (!base.standardInformationFound) {
        throw ErrorException(kErrNoStandardInfo, "FileZ::open <Standard information attribut not found>");
    }
    return base;
}

void FileZ::openFromScan(std::uint8_t* bytes, std::size_t length, Volume& volume, const NTFS_GEOMETRY& geometry,
                         std::uint64_t firstSector, std::uint64_t recordNumber, const ExtensionFinder& extensions) {
    geometry_ = geometry;
    mft_ = nullptr;
    volume_ = &volume;
    parseBase(bytes, length, true);
    recordNumber_ = recordNumber;
    firstSector_ = firstSector;
    if (!extensions) return;
    const bool compressed = isCompressed();
    for (std::vector<std::uint8_t>& raw : extensions(records_.front())) {
        MFT_RECORD ext;
        try {
            ext.parse(raw.data(), raw.size(), geometry_, compressed);
            readAttributeLists(ext);
        } catch (const ErrorException&) {
            continue;  // a damaged extension record loses only its own part
        }
        if (ext.baseReference.recordNumber() != recordNumber_) continue;
        auto& names = records_.front().fileNames;
        names.insert(names.end(), ext.fileNames.begin(), ext.fileNames.end());
        if (!ext.dataAttributes.empty()) records_.push_back(std::move(ext));
    }
}

void FileZ::finishOpen(std::uint64_t firstSector, const std::function<void()>& extentsChanged) {
    firstSector_ = firstSector;
    if (extentsChanged) extentsChanged();
    if (records_.front().attributeList.empty()) return;
    if (mft_ == nullptr) throw ErrorException(kErrEndOfFile, "FileZ::getSectorOfNextCluster <End of file>");

    // Extension records named by the attribute list, each read once.
    const bool compressed = isCompressed();
    std::set<std::uint64_t> dataRecords;
    std::set<std::uint64_t> nameRecords;
    // records_ grows below: walk a copy of the list.
    std::vector<ATTRIBUTE_LIST_ENTRY> entries = records_.front().attributeList;
    for (const auto& entry : entries) {
        if (entry.type != MFT_RECORD::kTypeData && entry.type != MFT_RECORD::kTypeFileName) continue;
        std::uint64_t n = entry.reference.recordNumber();
        if (recordNumber_ != kNoRecordNumber && n == recordNumber_) continue;  // the base record itself
        bool isData = entry.type == MFT_RECORD::kTypeData;
        if (isData ? dataRecords.count(n) != 0 : nameRecords.count(n) != 0) continue;
        if (recordNumber_ == kNoRecordNumber && mft_->getSectorOfReference(entry.reference) == firstSector) continue;

        SectorBuffer buf(geometry_.sectorsPerRecord(), geometry_.bytesPerSector);
        mft_->readRecords(n, 1, buf.data());
        MFT_RECORD ext;
        ext.parse(buf.data(), buf.size(), geometry_, compressed);
        readAttributeLists(ext);
        // A record reused by another file since is not ours.
        if (recordNumber_ != kNoRecordNumber && ext.baseReference.recordNumber() != recordNumber_) continue;
        if (isData) {
            dataRecords.insert(n);
            records_.push_back(std::move(ext));
            if (extentsChanged) extentsChanged();
        } else {
            nameRecords.insert(n);
            auto& names = records_.front().fileNames;
            names.insert(names.end(), ext.fileNames.begin(), ext.fileNames.end());
        }
    }
}

void FileZ::readAttributeLists(MFT_RECORD& record) const {
    const std::uint64_t cb = geometry_.clusterBytes();
    std::vector<std::uint8_t> list;
    for (const auto& nonResident : record.nonResidentLists) {
        // The record checked the runs: no sparse run, a few hundred KiB at
        // most, a non-zero cluster size.
        list.assign(static_cast<std::size_t>(nonResident.runs.totalClusters() * cb), 0);
        std::size_t at = 0;
        for (const auto& run : nonResident.runs) {
            const std::size_t bytes = static_cast<std::size_t>(run.length * cb);
            // A cluster number whose byte position does not fit in 64 bits
            // would wrap around to the start of the volume.
            if (run.lcn < 0 || static_cast<std::uint64_t>(run.lcn) > UINT64_MAX / cb) {
                throw ErrorException(kErrReadDisk, "Volume::read");
            }
            if (volume_ == nullptr) throw ErrorException(kErrReadDisk, "Volume::read");
            volume_->readBytes(list.data() + at, bytes, static_cast<std::uint64_t>(run.lcn) * cb, "Volume::read");
            at += bytes;
        }
        // Entries end at the list's data size; what lies beyond is slack.
        const std::uint64_t used = std::min<std::uint64_t>(nonResident.dataSize, list.size());
        record.decodeAttributeList(list.data(), static_cast<std::size_t>(used));
    }
}

void FileZ::close() {}

std::string FileZ::getName() const {
    if (records_.empty()) return std::string();
    const auto& names = base().fileNames;
    for (const auto& fn : names) {
        if (isNameSpaceShown(fn.nameSpace)) return fn.name;
    }
    return names.empty() ? std::string() : names.front().name;
}

bool FileZ::isDeleted() const { return !base().inUse(); }
bool FileZ::isDirectory() const { return base().isDirectory(); }
bool FileZ::isCompressed() const {
    return (base().standardInformation.fileAttributes() & STANDARD_INFORMATION::kAttrCompressed) != 0;
}

bool FileZ::isResident() const {
    const DATA_ATTRIBUTE* d = firstDataExtent();
    return d != nullptr && !d->nonResident;
}

FILE_REFERENCE FileZ::getDirectoryReference() const {
    if (records_.empty() || base().fileNames.empty()) {
        throw ErrorException(kErrRecordFormat, "FileZ::getDirectoryReference <Filename attribute not found>");
    }
    return base().fileNames.front().parent();
}

std::uint64_t FileZ::creationTimeUtc() const {
    if (!records_.empty() && base().standardInformationFound) return base().standardInformation.creationTime();
    if (records_.empty() || base().fileNames.empty()) {
        throw ErrorException(kErrRecordFormat, "FileZ::getCreationTime <Filename attribute not found>");
    }
    return base().fileNames.front().creationTime();
}

std::uint64_t FileZ::modificationTimeUtc() const {
    if (!records_.empty() && base().standardInformationFound) return base().standardInformation.modificationTime();
    if (records_.empty() || base().fileNames.empty()) {
        throw ErrorException(kErrRecordFormat, "FileZ::getLastModificationTime <Filename attribute not found>");
    }
    return base().fileNames.front().modificationTime();
}

std::uint64_t FileZ::accessTimeUtc() const {
    if (!records_.empty() && base().standardInformationFound) return base().standardInformation.accessTime();
    if (records_.empty() || base().fileNames.empty()) {
        throw ErrorException(kErrRecordFormat, "FileZ::getLastAccessTime <Filename attribute not found>");
    }
    return base().fileNames.front().accessTime();
}

FILE_TIME FileZ::getCreationTime() const { return FILE_TIME().set(creationTimeUtc()); }
FILE_TIME FileZ::getLastModificationTime() const { return FILE_TIME().set(modificationTimeUtc()); }
FILE_TIME FileZ::getLastAccessTime() const { return FILE_TIME().set(accessTimeUtc()); }

bool FileZ::matchName(const std::string& pattern) const { return WildcardMatcher::match(pattern, getName()); }

std::vector<const DATA_ATTRIBUTE*> FileZ::dataExtents(const std::string& streamName) const {
    std::vector<const DATA_ATTRIBUTE*> out;
    for (const auto& rec : records_) {
        for (const auto& d : rec.dataAttributes) {
            if (d.name == streamName) out.push_back(&d);
        }
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const DATA_ATTRIBUTE* a, const DATA_ATTRIBUTE* b) { return a->startingVcn < b->startingVcn; });
    // Each extent once (a record named twice, or a stale duplicate).
    out.erase(std::unique(out.begin(), out.end(),
                          [](const DATA_ATTRIBUTE* a, const DATA_ATTRIBUTE* b) { return a->startingVcn == b->startingVcn; }),
              out.end());
    return out;
}

const DATA_ATTRIBUTE* FileZ::firstDataExtent() const {
    for (const auto& rec : records_) {
        for (const auto& d : rec.dataAttributes) {
            if (d.isUnnamed() && (!d.nonResident || d.startingVcn == 0)) return &d;
        }
    }
    return nullptr;
}

std::uint64_t FileZ::getRealSize() const {
    const DATA_ATTRIBUTE* d = firstDataExtent();
    if (d != nullptr) return d->nonResident ? d->dataSize : d->valueLength;
    if (records_.size() < 2) throw ErrorException(kErrRecordFormat, "FileZ::getRealSize <Extended record not found>");
    throw ErrorException(kErrRecordFormat, "FileZ::getRealSize <Extended record data atribut not found>");
}

} // namespace resurgo
