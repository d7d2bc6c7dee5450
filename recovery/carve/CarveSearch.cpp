#include "recovery/carve/CarveSearch.h"

#include <algorithm>
#include <memory>

#include "core/ErrorException.h"
#include "file/FileZ.h"
#include "file/WildcardMatcher.h"
#include "recovery/DataStream.h"
#include "recovery/FilesystemNTFS.h"
#include "recovery/OutputSink.h"
#include "recovery/Recoverability.h"
#include "recovery/carve/CarveNames.h"
#include "recovery/carve/CompressedRun.h"
#include "source/Source.h"

namespace resurgo {

namespace {

const char* const kDiagCopy = "CarveSearch::copy";

// $Bitmap's bytes, or empty when it can't be read.
std::vector<std::uint8_t> readBitmap(FilesystemNTFS& fs) {
    std::vector<std::uint8_t> bits;
    try {
        const VolumeAccess access = fs.access();
        FileZ entry;
        access.openEntry(Recoverability::kBitmapRecord, entry);
        if (entry.isDeleted() || entry.getName() != "$Bitmap") return bits;
        DataStream data(access.volume, access.geometry, entry);
        bits.resize(static_cast<std::size_t>(data.size()));
        if (data.read(0, bits.data(), bits.size()) != bits.size()) bits.clear();
    } catch (const ErrorException&) {
        bits.clear();
    }
    return bits;
}

// Marks the clusters of the data of the file in record as in use.
void claim(FilesystemNTFS& fs, std::uint64_t record, std::vector<std::uint8_t>& bits) {
    try {
        FileZ entry;
        fs.access().openEntry(record, entry);
        for (const DATA_ATTRIBUTE* d : entry.dataExtents()) {
            if (!d->nonResident) continue;
            for (const RUN_ENTRY& run : d->runs) {
                if (run.sparse || run.lcn < 0) continue;
                const std::uint64_t first = static_cast<std::uint64_t>(run.lcn);
                for (std::uint64_t c = first; c < first + run.length && c / 8 < bits.size(); ++c) {
                    bits[static_cast<std::size_t>(c / 8)] |= static_cast<std::uint8_t>(1u << (c % 8));
                }
            }
        }
    } catch (const ErrorException&) {
        // A file whose runs can't be read claims nothing.
    }
}

} // namespace

void CarveSearch::claimData(const FileZ& entry, const Layout& layout, std::vector<Carver::Range>& claimed) {
    try {
        for (const DATA_ATTRIBUTE* d : entry.dataExtents()) {
            if (!d->nonResident) continue;
            for (const RUN_ENTRY& run : d->runs) {
                if (run.sparse || run.lcn < 0 || layout.clusterBytes == 0) continue;
                const std::uint64_t lcn = static_cast<std::uint64_t>(run.lcn);
                if (lcn > (UINT64_MAX - layout.volumeStart) / layout.clusterBytes - run.length) continue;
                const std::uint64_t begin = layout.volumeStart + lcn * layout.clusterBytes;
                claimed.push_back({begin, begin + run.length * layout.clusterBytes});
            }
        }
    } catch (const ErrorException&) {
        // Runs that can't be read claim nothing.
    }
}

std::vector<Carver::Range> CarveSearch::freeRanges(FilesystemNTFS* fs, const std::vector<FOUND_FILE>& listed,
                                                   const Layout& layout, std::uint64_t sourceBytes, bool& fromBitmap,
                                                   std::vector<Carver::Range> claimed) {
    std::vector<Carver::Range> ranges = freeOf(fs, listed, layout, sourceBytes, fromBitmap);
    if (claimed.empty()) return ranges;
    // Both sorted: one merge.
    std::sort(claimed.begin(), claimed.end(), [](const Carver::Range& a, const Carver::Range& b) { return a.begin < b.begin; });
    std::vector<Carver::Range> out;
    std::size_t c = 0;
    for (Carver::Range r : ranges) {
        while (c < claimed.size() && claimed[c].end <= r.begin) ++c;
        for (std::size_t k = c; k < claimed.size() && claimed[k].begin < r.end && r.begin < r.end; ++k) {
            if (claimed[k].begin > r.begin) out.push_back({r.begin, claimed[k].begin});
            r.begin = std::max(r.begin, claimed[k].end);
        }
        if (r.begin < r.end) out.push_back(r);
    }
    return out;
}

std::vector<Carver::Range> CarveSearch::freeOf(FilesystemNTFS* fs, const std::vector<FOUND_FILE>& listed,
                                               const Layout& layout, std::uint64_t sourceBytes, bool& fromBitmap) {
    std::vector<Carver::Range> ranges;
    std::vector<std::uint8_t> bits;
    if (fs != nullptr && fs->isOpen()) bits = readBitmap(*fs);
    fromBitmap = !bits.empty() && layout.clusterBytes != 0;
    if (!fromBitmap) {
        ranges.push_back({0, sourceBytes});
        return ranges;
    }
    for (const FOUND_FILE& f : listed) {
        if (f.source == ResultSource::Mft && f.recordNumber != FOUND_FILE::kNoRecord) claim(*fs, f.recordNumber, bits);
    }
    const std::uint64_t clusters = std::min<std::uint64_t>(layout.totalClusters, bits.size() * 8ULL);
    const std::uint64_t cluster = layout.clusterBytes;
    std::uint64_t c = 0;
    while (c < clusters) {
        const std::uint8_t byte = bits[static_cast<std::size_t>(c / 8)];
        if ((c & 7) == 0 && byte == 0xFF) {
            c += 8;
            continue;
        }
        if (((byte >> (c & 7)) & 1) != 0) {
            ++c;
            continue;
        }
        std::uint64_t end = c + 1;
        while (end < clusters && ((bits[static_cast<std::size_t>(end / 8)] >> (end & 7)) & 1) == 0) ++end;
        const std::uint64_t begin = layout.volumeStart + c * cluster;
        const std::uint64_t stop = std::min<std::uint64_t>(sourceBytes, layout.volumeStart + end * cluster);
        if (begin < stop) ranges.push_back({begin, stop});
        c = end;
    }
    return ranges;
}

std::vector<FOUND_FILE> CarveSearch::run(Source& source, const std::vector<Carver::Range>& ranges, const Layout& layout,
                                         const std::string& pattern, ProgressSink* progress,
                                         const std::atomic<std::uint8_t>* cancel, Report& report,
                                         const Known& known) {
    Carver carver(source);
    Carver::Found found = carver.run(ranges, layout.clusterBytes, layout.volumeStart, progress, cancel);
    report.bytesLooked = found.bytesScanned;
    report.cancelled = found.cancelled;
    // An index block both found is one file's entries twice: they count once.
    if (known.indexNames != nullptr) {
        found.indexNames.insert(found.indexNames.end(), known.indexNames->begin(), known.indexNames->end());
    }
    if (known.slackNames != nullptr) {
        found.slackNames.insert(found.slackNames.end(), known.slackNames->begin(), known.slackNames->end());
    }
    report.indexNames = found.indexNames.size() + found.slackNames.size();
    report.slackNames = found.slackNames.size();
    static const std::vector<LOGGED_NAME> none;
    const CarveNames names(found.indexNames, found.slackNames, known.logged != nullptr ? *known.logged : none,
                           {layout.volumeStart, layout.clusterBytes});
    std::vector<FOUND_FILE> named = names.name(found.pieces);
    const std::u32string folded = WildcardMatcher::foldPattern(pattern);
    named.erase(std::remove_if(named.begin(), named.end(),
                               [&](const FOUND_FILE& f) { return !WildcardMatcher::match(folded, f.name); }),
                named.end());
    return named;
}

bool CarveSearch::measureAt(Source& source, std::uint64_t offset, FOUND_FILE& file) {
    const std::uint64_t size = source.size();
    if (offset >= size) return false;
    Carver carver(source);
    Carver::Piece piece;
    if (!carver.measureAt(offset, size - offset, piece)) return false;
    file = CarveNames::unnamed(piece);
    return true;
}

void CarveSearch::copy(Source& source, std::uint64_t offset, std::uint64_t size, bool compressed, OutputSink& out) {
    if (compressed) {
        CompressedRun run;
        run.decode(source, offset, offset < source.size() ? source.size() - offset : 0);
        if (run.decoded().size() < size) throw ErrorException(kErrReadDisk, "CarveSearch::copy <Units decode short>");
        out.write(run.decoded().data(), static_cast<std::size_t>(size), kDiagCopy);
        return;
    }
    std::vector<std::uint8_t> buffer(Carver::kBlockBytes);
    while (size > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size));
        const std::size_t got = source.readAt(buffer.data(), want, offset, kDiagCopy);
        if (got != want) throw ErrorException(kErrReadDisk, "CarveSearch::copy <Short read>");
        out.write(buffer.data(), got, kDiagCopy);
        offset += got;
        size -= got;
    }
}

} // namespace resurgo
