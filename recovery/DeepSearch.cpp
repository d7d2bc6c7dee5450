#include "recovery/DeepSearch.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "file/FileZ.h"
#include "ntfs/MFT_RECORD.h"
#include "ntfs/UpdateSequence.h"
#include "platform/Platform.h"
#include "recovery/DeepResults.h"
#include "recovery/DeepScan.h"
#include "recovery/FilesystemNTFS.h"
#include "ntfs/LogRecordScan.h"
#include "recovery/LogfileSearch.h"
#include "recovery/Recoverability.h"
#include "source/SliceSource.h"
#include "source/Source.h"

namespace resurgo {

namespace {

constexpr std::size_t kMaxRecordBytes = 4096;
// Records the MFT's mirror keeps ($MFT, $MFTMirr, $LogFile, $Volume).
constexpr std::uint64_t kMirrorRecords = 4;
const char* const kDiagRead = "DeepSearch::openAt";

// The record size a "FILE" header announces, or 0.
std::size_t recordBytesAt(const std::uint8_t* bytes, std::size_t length) {
    if (length < MFT_RECORD::kHeaderBytes31 || std::memcmp(bytes, "FILE", 4) != 0) return 0;
    return UpdateSequence::recordBytes(bytes, length);
}

// Reads up to length bytes at offset into out (fewer at the source's end).
// A device that reads whole sectors only is read by its sectors.
std::size_t readAligned(Source& source, std::uint64_t offset, std::uint8_t* out, std::size_t length) {
    const std::uint64_t unit = source.sectorSize() > 1 ? source.sectorSize() : 1;
    const std::uint64_t first = offset - offset % unit;
    const std::uint64_t end = (offset + length + unit - 1) / unit * unit;
    if (first == offset && end == offset + length) return source.readAt(out, length, offset, kDiagRead);
    std::vector<std::uint8_t> whole(static_cast<std::size_t>(end - first));
    const std::size_t got = source.readAt(whole.data(), whole.size(), first, kDiagRead);
    const std::size_t skip = static_cast<std::size_t>(offset - first);
    if (got <= skip) return 0;
    const std::size_t n = std::min(length, got - skip);
    std::memcpy(out, whole.data() + skip, n);
    return n;
}

bool sequenceMatches(std::uint16_t wanted, std::uint16_t has, bool inUse) {
    if (wanted == 0 || has == wanted) return true;
    const std::uint16_t bumped = wanted == 0xFFFF ? 1 : static_cast<std::uint16_t>(wanted + 1);
    return !inUse && has == bumped;
}

} // namespace

DeepSearch::DeepSearch() = default;
DeepSearch::~DeepSearch() = default;

void DeepSearch::openVolume(Source& source, FilesystemNTFS& fs) {
    slice_.reset();
    Source* volume = &source;
    if (geometry_.volumeStart != 0) {
        const std::uint64_t size = source.size();
        slice_ = std::make_unique<SliceSource>(source, geometry_.volumeStart,
                                               size > geometry_.volumeStart ? size - geometry_.volumeStart : 0);
        volume = slice_.get();
    }
    try {
        fs.open(*volume, geometry_.geometry);
        report_.currentMft = true;
    } catch (const ErrorException&) {
        // Neither the MFT nor its mirror opens: every record is the scan's.
        fs.openVolumeOnly(*volume, geometry_.geometry);
        report_.currentMft = false;
    }
}

void DeepSearch::run(Source& source, const std::string& root, FilesystemNTFS& fs, const SEARCH_FILTER& filter,
                     const SEARCH_CONTEXT& context) {
    known_ = false;
    scan_.reset();
    extensions_.clear();
    indexNames_.clear();
    slackNames_.clear();
    loggedNames_.clear();
    report_ = Report();
    geometry_ = DeepGeometry();
    const bool boot = geometry_.fromBootSectors(source, root);
    if (boot) openVolume(source, fs);
    DeepScan::Found found = DeepScan().run(source, context.progress, context.cancel);
    if (!boot) {
        geometry_.infer(found, source.size(), root);
        openVolume(source, fs);
        if (geometry_.from == DeepGeometry::From::Assumed) geometryFromLog(found, source, root, fs);
    }
    known_ = true;
    root_ = root;
    report_.bytesScanned = found.bytesScanned;
    report_.recordsFound = found.records.size();
    report_.indexBlocksFound = found.indexBlocks.size();
    report_.cancelled = found.cancelled;

    DeepResults results(
        found, [this, &fs](std::uint64_t number, std::uint64_t offset) { return isCurrent(fs, number, offset); },
        geometry_.geometry.clusterBytes(), geometry_.volumeStart);
    const NTFS_GEOMETRY& g = geometry_.geometry;
    if (geometry_.from == DeepGeometry::From::BootSector || geometry_.from == DeepGeometry::From::BackupBootSector) {
        // The mirror holds the first records, in whole clusters.
        const std::uint64_t cluster = g.clusterBytes();
        const std::uint64_t bytes = std::max<std::uint64_t>(cluster, kMirrorRecords * g.mftRecordSize);
        if (cluster != 0 && g.mftMirrorCluster <= (UINT64_MAX - geometry_.volumeStart) / cluster / 2) {
            const std::uint64_t begin = geometry_.volumeStart + g.mftMirrorCluster * cluster;
            results.setMirror(begin, begin + (bytes + cluster - 1) / cluster * cluster);
        }
    }
    results.setGuessedGeometry(!geometry_.confirmed);
    std::vector<FOUND_FILE> out;
    Recoverability::Batch claims;
    OLDER_MATCHES older;
    older.nowUtc = platform().currentUtc();
    results.build(filter, older.nowUtc, fs.geometry().bytesPerSector, geometry_.volumeStart, out, extensions_, &claims,
                  geometry_.geometry.totalClusters, &older);
    // Clusters the current volume's $Bitmap marks in use (when its MFT
    // opens) and those a file modified later claims count as overwritten.
    Recoverability pass(fs.access());
    pass.take(claims);
    pass.apply(out, 0);
    LESS_RECOVERABLE less;
    logStart_.reset();
    logLooked_ = false;
    if (!report_.currentMft) {
        std::vector<std::uint64_t> pages;
        for (std::uint64_t at : found.restartPages) {
            if (at >= geometry_.volumeStart) pages.push_back(at - geometry_.volumeStart);
        }
        logStart_ = LogfileSearch::chooseStart(fs.volume(), pages);
        logLooked_ = true;
    }
    if (filter.minRecoverable > 0) {
        out.erase(std::remove_if(out.begin(), out.end(),
                                 [&](const FOUND_FILE& f) {
                                     if (f.recoverable >= filter.minRecoverable) return false;
                                     less.add(f.recoverable);
                                     return true;
                                 }),
                  out.end());
    }
    if (!report_.cancelled) appendLogged(found, results, fs, filter, out, older, less);
    fs.appendResults(std::move(out), older, less);
    indexNames_ = std::move(found.indexNames);
    slackNames_ = std::move(found.slackNames);
}

void DeepSearch::geometryFromLog(const DeepScan::Found& found, Source& source, const std::string& root,
                                 FilesystemNTFS& fs) {
    std::vector<std::uint64_t> pages;
    for (std::uint64_t at : found.restartPages) {
        if (at >= geometry_.volumeStart) pages.push_back(at - geometry_.volumeStart);
    }
    try {
        const std::optional<std::uint64_t> start = LogfileSearch::chooseStart(fs.volume(), pages);
        if (!start) return;
        std::vector<std::uint8_t> log;
        LogfileSearch::readAt(fs.volume(), *start, log);
        const std::optional<LogfileSearch::LoggedGeometry> g = LogfileSearch::geometryOf(LogRecordScan::scan(log).records);
        if (!g) return;
        geometry_.fromLog(g->clusterBytes, g->recordBytes, g->agreements, source.size(), root);
    } catch (const ErrorException&) {
        return;  // the log can't be read: the geometry stays a guess
    }
    openVolume(source, fs);
}

void DeepSearch::appendLogged(const DeepScan::Found& found, DeepResults& results, FilesystemNTFS& fs,
                              const SEARCH_FILTER& filter, std::vector<FOUND_FILE>& out, OLDER_MATCHES& older,
                              LESS_RECOVERABLE& less) {
    LogfileSearch log(fs);
    log.setStart(logStart_);
    // The log's parent references are the volume's own directories.
    log.setDirectories([&results](const FILE_REFERENCE& directory) { return results.directoryOf(directory, false); });
    log.read();
    std::vector<FOUND_FILE> logged;
    log.findFiles(filter, logged, older, less);
    loggedNames_ = log.dataNames();
    if (logged.empty()) return;
    // A version whose record the scan found (the same number and name) is
    // listed from its record, which holds more than the log's last change.
    std::set<std::pair<std::uint64_t, std::string>> scanned;
    for (const DeepScan::Record& r : found.records) {
        if (r.isBase() && !r.name.empty()) scanned.emplace(r.recordNumber, r.name);
    }
    for (FOUND_FILE& f : logged) {
        if (scanned.count({f.recordNumber, f.name}) != 0) continue;
        f.guessedGeometry = geometryGuessed();
        out.push_back(std::move(f));
    }
}

std::optional<std::uint64_t> DeepSearch::logStart(FilesystemNTFS& fs) {
    if (report_.currentMft) return std::nullopt;
    if (!logLooked_) {
        logStart_ = LogfileSearch::chooseStart(fs.volume(), LogfileSearch::findRestartPages(fs.volume()));
        logLooked_ = true;
    }
    return logStart_;
}

void DeepSearch::open(Source& source, const std::string& root, FilesystemNTFS& fs) {
    if (!known_ || root_ != root) {
        extensions_.clear();
        logStart_.reset();
        logLooked_ = false;
        geometry_ = DeepGeometry();
        scan_.reset();
        if (!geometry_.fromBootSectors(source, root)) {
            scan_ = std::make_unique<DeepScan::Found>(DeepScan().run(source, nullptr, nullptr));
            geometry_.infer(*scan_, source.size(), root);
            if (geometry_.from == DeepGeometry::From::Assumed) {
                openVolume(source, fs);
                geometryFromLog(*scan_, source, root, fs);
            }
        }
        known_ = true;
        root_ = root;
    }
    openVolume(source, fs);
}

void DeepSearch::close(FilesystemNTFS& fs) {
    fs.close();
    slice_.reset();
}

bool DeepSearch::isCurrent(FilesystemNTFS& fs, std::uint64_t number, std::uint64_t offset) const {
    // Slots past the MFT's data size are allocated but were never written
    // by the current volume: what lies there is a former volume's.
    const MftReader& mft = fs.mftEntry();
    const std::uint32_t recordBytes = fs.geometry().mftRecordSize;
    if (!report_.currentMft || offset < geometry_.volumeStart || recordBytes == 0 ||
        number >= std::min(mft.recordCapacity(), mft.getRealSize() / recordBytes)) {
        return false;
    }
    try {
        return mft.getSectorOfRecord(number) * fs.geometry().bytesPerSector == offset - geometry_.volumeStart;
    } catch (const ErrorException&) {
        return false;
    }
}

bool DeepSearch::isCurrentInUse(FilesystemNTFS& fs, std::uint64_t offset, std::uint64_t number, bool inUse) const {
    return inUse && isCurrent(fs, number, offset);
}

// The extension records of one base record, as they are gathered: each
// record number once.
struct DeepSearch::Gathered {
    std::uint64_t number = 0;  // the base record's
    std::uint16_t baseSequence = 0;
    bool baseInUse = false;
    std::vector<std::vector<std::uint8_t>> records;
    std::set<std::uint64_t> taken;

    // Keeps the record at bytes when it is an extension of the base record
    // not taken yet.
    void take(const std::uint8_t* bytes, std::size_t length) {
        const std::size_t size = recordBytesAt(bytes, length);
        if (size == 0) return;
        const auto own = MFT_RECORD::storedRecordNumber(bytes, size);
        const ByteReader r(bytes, size, kErrRecordFormat, kDiagRead);
        const FILE_REFERENCE base(r.u64(MFT_RECORD::kBaseReference));
        if (!own || *own == number || base.recordNumber() != number || taken.count(*own) != 0) return;
        if (!sequenceMatches(base.sequence(), baseSequence, baseInUse)) return;
        taken.insert(*own);
        records.emplace_back(bytes, bytes + size);
    }
};

std::vector<std::vector<std::uint8_t>> DeepSearch::extensionsNear(Source& source, FilesystemNTFS& fs, std::uint64_t offset,
                                                                  std::uint64_t number,
                                                                  const std::vector<std::uint64_t>& listed,
                                                                  std::uint16_t baseSequence, bool baseInUse) const {
    Gathered gathered;
    gathered.number = number;
    gathered.baseSequence = baseSequence;
    gathered.baseInUse = baseInUse;
    extensionsListed(fs, listed, gathered);
    if (!extensionsAround(source, offset, gathered)) return std::move(gathered.records);
    extensionsScanned(source, offset, listed, gathered);
    return std::move(gathered.records);
}

void DeepSearch::extensionsListed(FilesystemNTFS& fs, const std::vector<std::uint64_t>& listed, Gathered& gathered) const {
    const MftReader& mft = fs.mftEntry();
    const std::uint32_t recordBytes = fs.geometry().mftRecordSize;
    if (!report_.currentMft || recordBytes == 0) return;
    std::vector<std::uint8_t> buf(recordBytes);
    for (std::uint64_t m : listed) {
        if (m >= mft.recordCapacity()) continue;
        try {
            mft.readRecords(m, 1, buf.data());
            gathered.take(buf.data(), buf.size());
        } catch (const ErrorException&) {
        }
    }
}

bool DeepSearch::extensionsAround(Source& source, std::uint64_t offset, Gathered& gathered) const {
    std::vector<std::uint8_t> first(kMaxRecordBytes);
    const std::size_t got = readAligned(source, offset, first.data(), first.size());
    const std::size_t step = recordBytesAt(first.data(), got);
    if (step == 0) return false;
    const std::uint64_t from = offset >= kExtensionWindow * step ? offset - kExtensionWindow * step : offset % step;
    std::vector<std::uint8_t> window(static_cast<std::size_t>((offset - from) + (kExtensionWindow + 1) * step));
    const std::size_t have = readAligned(source, from, window.data(), window.size());
    for (std::size_t at = 0; at + step <= have; at += step) {
        if (from + at != offset) gathered.take(window.data() + at, step);
    }
    return true;
}

void DeepSearch::extensionsScanned(Source& source, std::uint64_t offset, const std::vector<std::uint64_t>& listed,
                                   Gathered& gathered) const {
    std::set<std::uint64_t> missing;
    for (std::uint64_t m : listed) {
        if (m != gathered.number && gathered.taken.count(m) == 0) missing.insert(m);
    }
    if (missing.empty()) return;
    if (!scan_) scan_ = std::make_unique<DeepScan::Found>(DeepScan().run(source, nullptr, nullptr));
    std::map<std::uint64_t, std::uint64_t> nearest;  // record number -> offset
    auto distance = [offset](std::uint64_t o) { return o > offset ? o - offset : offset - o; };
    for (const DeepScan::Record& r : scan_->records) {
        if (r.isBase() || missing.count(r.recordNumber) == 0) continue;
        const FILE_REFERENCE base(r.baseReference);
        if (base.recordNumber() != gathered.number ||
            !sequenceMatches(base.sequence(), gathered.baseSequence, gathered.baseInUse)) {
            continue;
        }
        auto [it, added] = nearest.emplace(r.recordNumber, r.offset);
        if (!added && distance(r.offset) < distance(it->second)) it->second = r.offset;
    }
    std::vector<std::uint8_t> ext(kMaxRecordBytes);
    for (const auto& kv : nearest) {
        const std::size_t n = readAligned(source, kv.second, ext.data(), ext.size());
        gathered.take(ext.data(), n);
    }
}

void DeepSearch::openAt(Source& source, FilesystemNTFS& fs, std::uint64_t offset, FileZ& entry) const {
    std::vector<std::uint8_t> bytes(kMaxRecordBytes);
    const std::size_t got = readAligned(source, offset, bytes.data(), bytes.size());
    const std::size_t size = recordBytesAt(bytes.data(), got);
    if (size == 0) throw ErrorException(kErrRecordFormat, "MFT_RECORD::fixup <Signature check>");
    bytes.resize(size);
    const auto own = MFT_RECORD::storedRecordNumber(bytes.data(), size);
    if (!own || offset < geometry_.volumeStart) throw ErrorException(kErrRecordFormat, "MFT_RECORD::fixup <Signature check>");
    const ByteReader header(bytes.data(), size, kErrRecordFormat, kDiagRead);
    const std::uint16_t sequence = header.u16(MFT_RECORD::kSequenceNumber);
    const bool inUse = (header.u16(MFT_RECORD::kFlags) & MFT_RECORD::kFlagInUse) != 0;
    const NTFS_GEOMETRY& g = fs.geometry();
    const std::uint64_t firstSector = (offset - geometry_.volumeStart) / (g.bytesPerSector != 0 ? g.bytesPerSector : 512);
    auto known = extensions_.find(offset);
    entry.openFromScan(bytes.data(), size, fs.volume(), g, firstSector, *own, [&](const MFT_RECORD& base) {
        std::vector<std::vector<std::uint8_t>> out;
        if (known != extensions_.end()) {
            // Where the scan found them.
            for (std::uint64_t at : known->second) {
                std::vector<std::uint8_t> ext(kMaxRecordBytes);
                const std::size_t n = readAligned(source, at, ext.data(), ext.size());
                const std::size_t extSize = recordBytesAt(ext.data(), n);
                if (extSize == 0) continue;
                ext.resize(extSize);
                out.push_back(std::move(ext));
            }
            return out;
        }
        if (base.attributeList.empty()) return out;
        std::vector<std::uint64_t> listed;
        for (const ATTRIBUTE_LIST_ENTRY& e : base.attributeList) {
            if (e.type == MFT_RECORD::kTypeData || e.type == MFT_RECORD::kTypeFileName) listed.push_back(e.reference.recordNumber());
        }
        return extensionsNear(source, fs, offset, *own, listed, sequence, inUse);
    });
}

} // namespace resurgo
