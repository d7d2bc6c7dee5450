#include "recovery/DeepScan.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "ntfs/LOG_RESTART_AREA.h"
#include "ntfs/MFT_RECORD.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "ntfs/UpdateSequence.h"
#include "recovery/ProgressSink.h"
#include "source/Source.h"

namespace resurgo {

namespace {

MappedRun mappedRun(std::uint64_t vcn, std::uint64_t lcn, std::uint64_t length) {
    MappedRun run;
    run.vcn = vcn;
    run.lcn = lcn;
    run.length = length;
    return run;
}

constexpr std::size_t kMaxRecordBytes = 4096;
constexpr std::size_t kAlignment = 4096;

bool signatureAt(const std::uint8_t* p, const char* sig) { return std::memcmp(p, sig, 4) == 0; }

// A geometry for taking records apart before the volume's is known: runs
// are not bounded, and a non-resident attribute list is measured in the
// smallest clusters NTFS has (the loosest size check).
const NTFS_GEOMETRY& provisionalGeometry() {
    static const NTFS_GEOMETRY g = [] {
        NTFS_GEOMETRY x;
        x.bytesPerSector = 512;
        x.sectorsPerCluster = 1;
        x.mftRecordSize = 1024;
        return x;
    }();
    return g;
}

bool shownNameSpace(std::uint8_t ns) {
    return ns == FILE_NAME_ENTRY::kPosix || ns == FILE_NAME_ENTRY::kWin32 || ns == FILE_NAME_ENTRY::kWin32AndDos;
}

// Reads [base, base + length) into buffer; sectors that fail read as zeros.
std::size_t readBlock(Source& source, std::uint64_t base, std::size_t length, std::uint8_t* buffer) {
    const char* diag = "DeepScan::run <Read>";
    try {
        return source.readAt(buffer, length, base, diag);
    } catch (const ErrorException&) {
    }
    const std::size_t unit = std::max<std::size_t>(DeepScan::kStep, source.sectorSize());
    std::size_t got = 0;
    for (std::size_t at = 0; at < length; at += unit) {
        const std::size_t want = std::min(unit, length - at);
        std::size_t n = 0;
        try {
            n = source.readAt(buffer + at, want, base + at, diag);
        } catch (const ErrorException&) {
            std::memset(buffer + at, 0, want);
            n = want;
        }
        got = at + n;
        if (n < want) break;
    }
    return got;
}

// Appends a run list's allocated runs, placed by VCN (holes left out).
void appendMapped(const RUN_LIST& list, std::vector<MappedRun>& out) {
    std::uint64_t vcn = 0;
    for (const RUN_ENTRY& e : list) {
        if (!e.sparse && e.lcn >= 0) out.push_back(mappedRun(vcn, static_cast<std::uint64_t>(e.lcn), e.length));
        vcn += e.length;
    }
}

std::string mib(std::uint64_t bytes) {
    return std::to_string(bytes >> 20) + " MiB";
}

} // namespace

DeepScan::DeepScan() = default;
DeepScan::~DeepScan() = default;

DeepScan::Found DeepScan::run(Source& source, ProgressSink* progress, const std::atomic<std::uint8_t>* cancel) {
    Found found;
    const std::uint64_t total = source.size();
    if (progress != nullptr) progress->setPosition(0);
    if (total == 0) return found;

    // One buffer, starting on a page: the system copies from the page cache
    // into a page-aligned buffer several times faster. Looking at a block
    // costs little next to reading it, so reading ahead on another thread
    // gains nothing.
    std::vector<std::uint8_t> storage(kBlockBytes + kOverlap + kAlignment);
    const auto address = reinterpret_cast<std::uintptr_t>(storage.data());
    std::uint8_t* buffer = storage.data() + (kAlignment - address % kAlignment) % kAlignment;

    int lastPosition = 0;
    for (std::uint64_t base = 0; base < total; base += kBlockBytes) {
        if (cancel != nullptr && cancel->load() == 1) {
            found.cancelled = true;
            break;
        }
        // What a container does not store reads as zeros: skipped.
        if (const std::uint64_t stored = source.storedFrom(base); stored > base) {
            if (stored >= total) break;
            base = stored - stored % kBlockBytes;
        }
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockBytes + kOverlap, total - base));
        const std::size_t got = readBlock(source, base, length, buffer);
        const std::size_t scanBytes = std::min(kBlockBytes, got);
        scanBlock(buffer, scanBytes, got, base, total, found);
        found.bytesScanned = base + scanBytes;
        if (got < std::min<std::uint64_t>(kBlockBytes, total - base)) break;  // the source ended early
        if (progress != nullptr) {
            const int position = static_cast<int>(found.bytesScanned * 100 / total);
            if (position != lastPosition) {
                progress->setDetail(mib(found.bytesScanned) + " of " + mib(total) + ", " +
                                    std::to_string(found.records.size()) + " records");
                progress->setPosition(position);
                lastPosition = position;
            }
        }
    }
    if (progress != nullptr) progress->setPosition(0);
    return found;
}

void DeepScan::scanBlock(const std::uint8_t* data, std::size_t scanBytes, std::size_t available, std::uint64_t base,
                         std::uint64_t sourceBytes, Found& found) {
    for (std::size_t at = 0; at + 4 <= scanBytes; at += kStep) {
        const std::uint8_t* p = data + at;
        // Most positions hold no signature: one comparison each.
        if (p[0] != 'F' && p[0] != 'I' && p[0] != 'R') continue;
        examine(p, available - at, base + at, sourceBytes, found);
    }
}

bool DeepScan::examine(const std::uint8_t* bytes, std::size_t length, std::uint64_t offset, std::uint64_t sourceBytes,
                       Found& found) {
    if (length < MFT_RECORD::kHeaderBytes31) return false;
    if (signatureAt(bytes, "RSTR")) {
        if (found.restartPages.size() >= kMaxRestartPages || LOG_RESTART_AREA::statedPageSize(bytes, length) == 0) {
            return false;
        }
        found.restartPages.push_back(offset);
        return true;
    }
    const ByteReader r(bytes, length, kErrRecordFormat, "DeepScan::examine");
    if (signatureAt(bytes, "FILE")) {
        const std::size_t size = UpdateSequence::recordBytes(bytes, length);
        if (size == 0) return false;
        if (r.u32(MFT_RECORD::kBytesAllocated) != size) return false;
        std::array<std::uint8_t, kMaxRecordBytes> copy;
        std::memcpy(copy.data(), bytes, size);
        return takeRecord(copy.data(), size, offset, std::max<std::uint64_t>(sourceBytes / 512, 1), found);
    }
    if (signatureAt(bytes, "INDX")) {
        const std::size_t size = INDEX_BLOCK::announcedBytes(bytes, length);
        if (size == 0 || size > length) return false;
        std::vector<std::uint8_t> copy(bytes, bytes + size);
        INDEX_BLOCK block;
        try {
            block.parse(copy.data(), copy.size());
        } catch (const ErrorException&) {
            return false;
        }
        for (INDEX_NAME& n : block.slackNames) found.slackNames.push_back(std::move(n));
        if (block.names.empty()) return !block.slackNames.empty();
        // The directory whose block it is: the parent most of its entries name.
        std::map<std::uint64_t, std::size_t> votes;
        for (const INDEX_NAME& n : block.names) ++votes[n.parent.recordNumber()];
        const auto best = std::max_element(votes.begin(), votes.end(),
                                           [](const auto& a, const auto& b) { return a.second < b.second; });
        found.indexBlocks.push_back({offset, block.vcn, best->first, static_cast<std::uint32_t>(size)});
        for (INDEX_NAME& n : block.names) {
            found.indexNames.push_back(std::move(n));
            found.indexNameSources.push_back(offset);
        }
        return true;
    }
    return false;
}

bool DeepScan::takeRecord(std::uint8_t* bytes, std::size_t length, std::uint64_t offset, std::uint64_t maxRecordNumber,
                          Found& found) {
    MFT_RECORD rec;
    rec.keepResidentValues = false;
    try {
        rec.parse(bytes, length, provisionalGeometry());
    } catch (const ErrorException&) {
        return false;
    }
    if (!plausible(rec, maxRecordNumber)) return false;
    const std::uint64_t own = *rec.ownRecordNumber;

    Record out;
    out.offset = offset;
    out.recordNumber = own;
    out.baseReference = rec.baseReference.raw();
    out.recordBytes = static_cast<std::uint32_t>(length);
    out.sequence = rec.sequenceNumber;
    out.flags = rec.flags;
    takeNameAndTimes(rec, out);
    takeData(rec, out);
    if (out.isBase() && out.isDirectory()) takeDirectoryIndex(bytes, length, own, offset, found);
    if (own == 0 && out.isBase() && out.name == "$MFT") takeMftRuns(rec, offset, found);
    found.records.push_back(std::move(out));
    return true;
}

bool DeepScan::plausible(const MFT_RECORD& rec, std::uint64_t maxRecordNumber) {
    // Only NTFS 3.1 records say which record they are.
    if (!rec.ownRecordNumber || *rec.ownRecordNumber >= maxRecordNumber || rec.sequenceNumber == 0) return false;
    const std::uint64_t own = *rec.ownRecordNumber;
    if (rec.baseReference.raw() == 0) {
        if (!rec.standardInformationFound) return false;
    } else if (rec.baseReference.recordNumber() >= maxRecordNumber || rec.baseReference.recordNumber() == own) {
        return false;
    }
    for (const FILE_NAME_ENTRY& fn : rec.fileNames) {
        if (fn.name.empty() || fn.nameSpace > FILE_NAME_ENTRY::kWin32AndDos ||
            fn.parent().recordNumber() >= maxRecordNumber || fn.name.find('\0') != std::string::npos) {
            return false;
        }
    }
    return true;
}

void DeepScan::takeNameAndTimes(const MFT_RECORD& rec, Record& out) {
    out.hasStandardInformation = rec.standardInformationFound;
    out.hasAttributeList = rec.attributeListFound;
    if (rec.standardInformationFound) {
        out.changeTime = rec.standardInformation.u64(STANDARD_INFORMATION::kMftChangeTime);
        out.modified = rec.standardInformation.modificationTime();
        out.created = rec.standardInformation.creationTime();
        out.accessed = rec.standardInformation.accessTime();
    }
    if (!rec.fileNames.empty()) {
        out.parent = rec.fileNames.front().parent().raw();
        out.name = rec.fileNames.front().name;
        for (const FILE_NAME_ENTRY& fn : rec.fileNames) {
            if (shownNameSpace(fn.nameSpace)) {
                out.name = fn.name;
                break;
            }
        }
    }
}

void DeepScan::takeData(const MFT_RECORD& rec, Record& out) {
    for (const DATA_ATTRIBUTE& d : rec.dataAttributes) {
        if (!d.isUnnamed()) continue;
        out.hasData = true;
        if (!d.nonResident) {
            out.hasFirstExtent = true;
            out.residentData = true;
            out.size = d.valueLength;
            out.hasContent = out.hasContent || d.valueLength > 0;
            continue;
        }
        out.hasContent = out.hasContent || d.startingVcn != 0 || d.dataSize > 0;
        if (d.startingVcn == 0) {
            out.hasFirstExtent = true;
            out.size = d.dataSize;
            out.initialized = d.initializedSize;
            out.compressionUnit = d.compressed ? d.compressionUnit : 0;
        }
        out.extents.push_back({d.startingVcn, d.runs});
    }
}

void DeepScan::takeDirectoryIndex(const std::uint8_t* bytes, std::size_t length, std::uint64_t own, std::uint64_t offset,
                                  Found& found) {
    std::vector<INDEX_NAME> rootNames;
    std::optional<RUN_LIST> allocation;
    try {
        INDEX_BLOCK::readDirectoryRecord(bytes, length, rootNames, allocation);
        if (allocation) {
            RunsOf runs{own, offset, {}};
            appendMapped(*allocation, runs.runs);
            if (!runs.runs.empty()) found.indexAllocations.push_back(std::move(runs));
        }
    } catch (const ErrorException&) {
        rootNames.clear();  // the record stays; its index says nothing
    }
    for (INDEX_NAME& n : rootNames) {
        found.indexNames.push_back(std::move(n));
        found.indexNameSources.push_back(offset);
    }
}

void DeepScan::takeMftRuns(const MFT_RECORD& rec, std::uint64_t offset, Found& found) {
    for (const DATA_ATTRIBUTE& d : rec.dataAttributes) {
        if (!d.isUnnamed() || !d.nonResident || d.startingVcn != 0) continue;
        RunsOf runs{0, offset, {}};
        try {
            appendMapped(d.runs, runs.runs);
        } catch (const ErrorException&) {
            runs.runs.clear();
        }
        if (!runs.runs.empty()) found.mftRuns.push_back(std::move(runs));
    }
}

} // namespace resurgo
