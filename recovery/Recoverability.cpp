#include "recovery/Recoverability.h"

#include <algorithm>
#include <cstring>

#include "core/ErrorException.h"
#include "file/FileZ.h"
#include "ntfs/DATA_ATTRIBUTE.h"
#include "recovery/DataStream.h"

namespace resurgo {

namespace {

// Largest compression unit taken as one (2^8 clusters), as DataStream.
constexpr std::uint16_t kMaxUnitShift = 8;
// $Bitmap is read in windows starting on this boundary (whole sectors).
constexpr std::uint64_t kWindowAlign = 4096;
// Work the sweep may do per claim (and a floor) before it stops: NTFS
// never lets thousands of deleted files claim the same clusters, a
// damaged or forged MFT can. Owners left when it stops count as
// overwritten.
constexpr std::uint64_t kSweepWorkPerClaim = 64;
constexpr std::uint64_t kSweepWorkFloor = 1u << 22;

std::uint64_t times(std::uint64_t clusters, std::uint64_t clusterBytes) {
    return clusters > UINT64_MAX / clusterBytes ? UINT64_MAX : clusters * clusterBytes;
}

} // namespace

// ---------------------------------------------------------------------------
// Batch

namespace {

std::uint32_t unitClusters(bool compressed, std::uint16_t compressionUnit) {
    // Compression is the stream's (its flags and unit), as the restore reads it.
    return compressed && compressionUnit != 0 && compressionUnit <= kMaxUnitShift ? 1u << compressionUnit : 0;
}

} // namespace

template <class ForEachExtent>
std::uint32_t Recoverability::Batch::note(const Owner& owner, std::uint64_t clusterBytes, ForEachExtent&& forEachExtent) {
    const auto index = static_cast<std::uint32_t>(owners.size());
    owners.push_back(owner);

    const std::size_t claimsBefore = claims.size();
    const std::size_t lostBefore = lost.size();
    // Clusters the data needs, and how far the extents lay it out.
    const std::uint64_t needed = owner.size / clusterBytes + (owner.size % clusterBytes != 0 ? 1 : 0);
    std::uint64_t covered = 0;
    auto claim = [&](std::int64_t startingVcn, const RUN_LIST& runs) {
        if (startingVcn < 0) throw ErrorException(kErrRecordFormat, "Recoverability <Negative VCN>");
        std::uint64_t vcn = static_cast<std::uint64_t>(startingVcn);
        if (vcn > covered) {
            lost.push_back(Lost{index, covered, vcn - covered});
            owners[index].unattributed = true;
        }
        for (const RUN_ENTRY& r : runs) {
            if (r.length == 0) continue;
            if (!r.sparse) claims.push_back(Claim{static_cast<std::uint64_t>(r.lcn), vcn, r.length, index});
            vcn += r.length;
        }
        covered = std::max(covered, vcn);
    };
    try {
        forEachExtent(claim);
    } catch (const ErrorException&) {
        // Runs that name clusters outside the volume: the restore can't
        // read them either.
        claims.resize(claimsBefore);
        lost.resize(lostBefore);
        owners.back().damaged = true;
        return index;
    }
    if (covered < needed) {
        lost.push_back(Lost{index, covered, needed - covered});
        owners[index].unattributed = true;
    }
    return index;
}

std::uint32_t Recoverability::Batch::add(const FileZ& file, std::uint64_t record, std::uint64_t clusterBytes) {
    const DATA_ATTRIBUTE* first = file.firstDataExtent();
    if (first == nullptr || !first->nonResident || first->dataSize == 0 || clusterBytes == 0) return kNoOwner;
    if (owners.size() >= kNoOwner) return kNoOwner;
    Owner owner;
    owner.record = record;
    try {
        owner.modified = file.modificationTimeUtc();
    } catch (const ErrorException&) {
        owner.modified = 0;
    }
    owner.size = first->dataSize;
    owner.initialized = std::min(first->initializedSize, first->dataSize);
    owner.unitClusters = unitClusters(first->compressed, first->compressionUnit);
    return note(owner, clusterBytes, [&](auto& claim) {
        auto each = [&](const DATA_ATTRIBUTE* d) {
            if (d->nonResident) claim(d->startingVcn, d->runs);
        };
        // Most files are one record with one extent: no list to build then.
        if (file.records().size() == 1 && file.records().front().dataAttributes.size() == 1) {
            each(first);
        } else {
            for (const DATA_ATTRIBUTE* d : file.dataExtents()) each(d);
        }
    });
}

std::uint32_t Recoverability::Batch::add(ScannedFile& file, std::uint64_t clusterBytes, std::uint64_t totalClusters) {
    if (file.resident || file.size == 0 || clusterBytes == 0 || owners.size() >= kNoOwner) return kNoOwner;
    Owner owner;
    owner.record = file.record;
    owner.modified = file.modified;
    owner.size = file.size;
    owner.initialized = std::min(file.initialized, file.size);
    owner.unitClusters = unitClusters(file.compressionUnit != 0, file.compressionUnit);
    std::sort(file.extents.begin(), file.extents.end(),
              [](const ScannedFile::Extent& a, const ScannedFile::Extent& b) { return a.vcn < b.vcn; });
    return note(owner, clusterBytes, [&](auto& claim) {
        for (const ScannedFile::Extent& e : file.extents) {
            if (e.runs == nullptr) continue;
            // The scan read the runs before the volume's size was known.
            for (const RUN_ENTRY& r : *e.runs) {
                if (totalClusters != 0 && !r.sparse &&
                    (r.lcn < 0 || static_cast<std::uint64_t>(r.lcn) >= totalClusters ||
                     r.length > totalClusters - static_cast<std::uint64_t>(r.lcn))) {
                    throw ErrorException(kErrRecordFormat, "Recoverability <Run outside the volume>");
                }
            }
            claim(e.vcn, *e.runs);
        }
    });
}

void Recoverability::Batch::clear() {
    std::vector<Owner>().swap(owners);
    std::vector<Claim>().swap(claims);
    std::vector<Lost>().swap(lost);
    std::vector<Live>().swap(live);
}

// ---------------------------------------------------------------------------

Recoverability::Recoverability(const VolumeAccess& volume)
    : vol_(volume), clusterBytes_(volume.geometry.clusterBytes()) {}
Recoverability::~Recoverability() = default;

void Recoverability::take(Batch& batch) {
    live_.insert(live_.end(), batch.live.begin(), batch.live.end());
    if (owners_.size() + batch.owners.size() >= kNoOwner) {
        batch.clear();  // beyond what any MFT holds: those files stay at 100
        return;
    }
    const auto offset = static_cast<std::uint32_t>(owners_.size());
    owners_.insert(owners_.end(), batch.owners.begin(), batch.owners.end());
    claims_.reserve(claims_.size() + batch.claims.size());
    for (Claim c : batch.claims) {
        c.owner += offset;
        claims_.push_back(c);
    }
    lost_.reserve(lost_.size() + batch.lost.size());
    for (Lost l : batch.lost) {
        l.owner += offset;
        lost_.push_back(l);
    }
    batch.clear();
}

std::uint8_t Recoverability::percent(std::uint64_t part, std::uint64_t whole) {
    if (whole == 0 || part >= whole) return kWhole;
    // 100 × part fits in 64 bits below 2^57 bytes; larger sizes (no volume
    // holds them) are scaled down first.
    while (part > UINT64_MAX / 100) {
        part >>= 1;
        whole >>= 1;
    }
    return static_cast<std::uint8_t>(std::min<std::uint64_t>(part * 100 / whole, kWhole - 1));
}

void Recoverability::apply(std::vector<FOUND_FILE>& results, std::size_t from) {
    sweep();
    auto byOwner = [](const Lost& a, const Lost& b) { return a.owner != b.owner ? a.owner < b.owner : a.vcn < b.vcn; };
    std::sort(lost_.begin(), lost_.end(), byOwner);
    std::sort(unowned_.begin(), unowned_.end(), byOwner);
    // The ranges of owner o in ranges, from cursor on (owners ascending).
    auto rangesOf = [](const std::vector<Lost>& ranges, std::size_t& cursor, std::size_t o) {
        while (cursor < ranges.size() && ranges[cursor].owner < o) ++cursor;
        std::size_t end = cursor;
        while (end < ranges.size() && ranges[end].owner == o) ++end;
        const std::pair<const Lost*, const Lost*> found{ranges.data() + cursor, ranges.data() + end};
        cursor = end;
        return found;
    };
    // Results and owners are both in record order.
    std::size_t o = 0;
    std::size_t l = 0;
    std::size_t u = 0;
    for (std::size_t i = from; i < results.size(); ++i) {
        FOUND_FILE& r = results[i];
        while (o < owners_.size() && owners_[o].record < r.recordNumber) ++o;
        if (o == owners_.size() || owners_[o].record != r.recordNumber) {
            r.recoverable = kWhole;
            continue;
        }
        const Owner& owner = owners_[o];
        const auto lost = rangesOf(lost_, l, o);
        const auto unowned = rangesOf(unowned_, u, o);
        r.recoverable = percentOf(static_cast<std::uint32_t>(o), lost.first, lost.second);
        r.overwrittenBy = r.recoverable < kWhole && !owner.damaged && !owner.unattributed ? owner.overwrittenBy
                                                                                           : FOUND_FILE::kNoRecord;
        const std::uint64_t unownedBytes =
            owner.damaged ? 0 : bytesOf(static_cast<std::uint32_t>(o), unowned.first, unowned.second);
        // Rounded up: any unowned byte shows.
        const std::uint8_t kept = percent(owner.size - std::min(unownedBytes, owner.size), owner.size);
        r.unowned = unownedBytes == 0 ? 0 : std::max<std::uint8_t>(1, static_cast<std::uint8_t>(kWhole - kept));
    }
}

void Recoverability::mergeLive() {
    std::sort(live_.begin(), live_.end(), [](const Live& a, const Live& b) { return a.lcn < b.lcn; });
    std::size_t out = 0;
    for (std::size_t i = 0; i < live_.size(); ++i) {
        const Live l = live_[i];
        if (l.clusters == 0) continue;
        const std::uint64_t end = l.lcn + std::min(l.clusters, UINT64_MAX - l.lcn);
        if (out > 0) {
            Live& last = live_[out - 1];
            const std::uint64_t lastEnd = last.lcn + last.clusters;
            if (l.lcn < lastEnd) {
                // Overlapping claims (a damaged MFT, or shared runs): the
                // overlap has no one owner; taken as a whole.
                if (l.record != last.record) last.record = kSeveral;
                last.clusters = std::max(lastEnd, end) - last.lcn;
                continue;
            }
        }
        live_[out++] = Live{l.lcn, end - l.lcn, l.record};
    }
    live_.resize(out);
}

template <class F>
void Recoverability::forEachLive(std::uint64_t from, std::uint64_t to, F&& part) const {
    // The first range ending after from.
    auto it = std::upper_bound(live_.begin(), live_.end(), from,
                               [](std::uint64_t lcn, const Live& l) { return lcn < l.lcn; });
    if (it != live_.begin() && (it - 1)->lcn + (it - 1)->clusters > from) --it;
    std::uint64_t at = from;
    for (; it != live_.end() && at < to && it->lcn < to; ++it) {
        if (it->lcn > at) {
            part(at, it->lcn, FOUND_FILE::kNoRecord);
            at = it->lcn;
        }
        const std::uint64_t end = std::min(to, it->lcn + it->clusters);
        if (end > at) {
            part(at, end, it->record);
            at = end;
        }
    }
    if (at < to) part(at, to, FOUND_FILE::kNoRecord);
}

void Recoverability::sweep() {
    if (claims_.empty()) return;
    if (std::none_of(owners_.begin(), owners_.end(), [](const Owner& o) { return o.wanted; })) return;
    std::sort(claims_.begin(), claims_.end(), [](const Claim& a, const Claim& b) {
        return a.lcn != b.lcn ? a.lcn < b.lcn : a.owner < b.owner;
    });
    mergeLive();
    auto endOf = [this](std::size_t c) { return claims_[c].lcn + claims_[c].clusters; };

    // Segments between the starts and ends of claims: in each, the claims
    // covering it are the same.
    const std::size_t n = claims_.size();
    const std::uint64_t budget = std::max<std::uint64_t>(kSweepWorkFloor, n * kSweepWorkPerClaim);
    std::uint64_t work = 0;
    std::vector<std::size_t> active;
    std::size_t next = 0;
    std::uint64_t at = 0;
    while (next < n || !active.empty()) {
        if (active.empty()) at = claims_[next].lcn;
        while (next < n && claims_[next].lcn == at) active.push_back(next++);
        std::uint64_t to = UINT64_MAX;
        for (std::size_t c : active) to = std::min(to, endOf(c));
        if (next < n) to = std::min(to, claims_[next].lcn);
        if (!sweepSegment(active, at, to, work, budget)) break;
        active.erase(std::remove_if(active.begin(), active.end(), [&](std::size_t c) { return endOf(c) == to; }),
                     active.end());
        at = to;
    }
    if (work > budget) {
        for (std::size_t c : active) owners_[claims_[c].owner].damaged = true;
        for (std::size_t c = next; c < n; ++c) owners_[claims_[c].owner].damaged = true;
    }
}

bool Recoverability::sweepSegment(const std::vector<std::size_t>& active, std::uint64_t at, std::uint64_t to,
                                  std::uint64_t& work, std::uint64_t budget) {
    // Where several claims cover the segment, those modified before the
    // latest of them lose it; the latest (all of them, if tied) keep the
    // clusters $Bitmap marks free.
    std::uint64_t latest = 0;
    std::size_t latestClaim = 0;
    for (std::size_t c : active) {
        if (owners_[claims_[c].owner].modified >= latest) {
            latest = owners_[claims_[c].owner].modified;
            latestClaim = c;
        }
    }
    work += active.size();
    if (work > budget) return false;
    bool look = false;
    // Several files modified at the latest time share what is left.
    bool tied = false;
    for (std::size_t c : active) {
        tied = tied || (c != latestClaim && owners_[claims_[c].owner].modified == latest);
    }
    for (std::size_t c : active) {
        const Owner& owner = owners_[claims_[c].owner];
        if (!owner.wanted) continue;
        if (owner.modified < latest) {
            // The later deleted file wrote here; a file in use may
            // have taken the clusters from it since.
            const std::uint64_t later = tied ? kSeveral : owners_[claims_[latestClaim].owner].record;
            forEachLive(at, to, [&](std::uint64_t from, std::uint64_t until, std::uint64_t record) {
                lose(c, from, until, record == FOUND_FILE::kNoRecord ? later : record);
            });
        } else {
            look = true;
        }
    }
    if (!look) return true;
    forEachTaken(at, to, [&](std::uint64_t from, std::uint64_t until, bool beyond) {
        for (std::size_t c : active) {
            const Owner& owner = owners_[claims_[c].owner];
            if (!owner.wanted || owner.modified != latest || work > budget) continue;
            ++work;
            if (beyond || !liveKnown_) {
                lose(c, from, until, FOUND_FILE::kNoRecord);
                continue;
            }
            forEachLive(from, until, [&](std::uint64_t a, std::uint64_t b, std::uint64_t record) {
                if (record == FOUND_FILE::kNoRecord) {
                    const Claim& claim = claims_[c];
                    unowned_.push_back(Lost{claim.owner, claim.vcn + (a - claim.lcn), b - a});
                } else {
                    lose(c, a, b, record);
                }
            });
        }
    });
    return work <= budget;
}

void Recoverability::lose(std::size_t c, std::uint64_t from, std::uint64_t to, std::uint64_t by) {
    const Claim& claim = claims_[c];
    lost_.push_back(Lost{claim.owner, claim.vcn + (from - claim.lcn), to - from});
    Owner& owner = owners_[claim.owner];
    // One file named: the first to take a cluster, as long as every other
    // lost cluster went to that same file.
    const bool oneFile = by != FOUND_FILE::kNoRecord && by != kSeveral;
    if (oneFile && (owner.overwrittenBy == FOUND_FILE::kNoRecord || owner.overwrittenBy == by)) {
        owner.overwrittenBy = by;
    } else {
        owner.unattributed = true;
    }
}

template <class F>
void Recoverability::forEachTaken(std::uint64_t from, std::uint64_t to, F&& lost) {
    // Clusters from the first one the source doesn't hold in full are lost.
    const std::uint64_t sourceBytes = vol_.volume.sizeBytes;
    const std::uint64_t missing = sourceBytes != 0 ? sourceBytes / clusterBytes_ : UINT64_MAX;
    const std::uint64_t scanTo = std::min(to, missing);
    constexpr std::uint64_t kNone = UINT64_MAX;
    std::uint64_t runStart = kNone;
    std::uint64_t c = from;
    while (c < scanTo && loadWindow(c)) {
        const std::uint64_t windowEnd = times(windowFirstByte_ + windowBytes_, 8);
        const std::uint64_t stop = std::min(scanTo, windowEnd);
        while (c < stop) {
            const std::uint8_t byte = window_[static_cast<std::size_t>(c / 8 - windowFirstByte_)];
            // Whole bytes of free or used clusters at once.
            if ((c & 7) == 0 && stop - c >= 8 && (byte == 0 || byte == 0xFF)) {
                if (byte == 0xFF && runStart == kNone) runStart = c;
                if (byte == 0 && runStart != kNone) {
                    lost(runStart, c, false);
                    runStart = kNone;
                }
                c += 8;
                continue;
            }
            const bool used = ((byte >> (c & 7)) & 1) != 0;
            if (used && runStart == kNone) runStart = c;
            if (!used && runStart != kNone) {
                lost(runStart, c, false);
                runStart = kNone;
            }
            ++c;
        }
    }
    // Beyond the bitmap's data every cluster counts as free.
    if (runStart != kNone) lost(runStart, c, false);
    if (missing < to) lost(std::max(from, missing), to, true);
}

bool Recoverability::loadWindow(std::uint64_t lcn) {
    if (!bitmapTried_) {
        bitmapTried_ = true;
        // Without a readable $Bitmap only the claims of other deleted
        // files lower a percentage.
        try {
            bitmapEntry_ = std::make_unique<FileZ>();
            vol_.openEntry(kBitmapRecord, *bitmapEntry_);
            if (!bitmapEntry_->isDeleted() && bitmapEntry_->getName() == "$Bitmap") {
                bitmap_ = std::make_unique<DataStream>(vol_.volume, vol_.geometry, *bitmapEntry_);
            }
        } catch (const ErrorException&) {
            bitmap_.reset();
        }
    }
    if (!bitmap_) return false;
    const std::uint64_t byte = lcn / 8;
    if (windowBytes_ != 0 && byte >= windowFirstByte_ && byte - windowFirstByte_ < windowBytes_) return true;
    if (byte >= bitmap_->size()) return false;
    const std::uint64_t first = byte / kWindowAlign * kWindowAlign;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kBitmapWindowBytes, bitmap_->size() - first));
    if (window_.size() < want) window_.resize(want);
    try {
        // Sectors that can't be read come back as zeros: free.
        windowBytes_ = bitmap_->read(first, window_.data(), want);
    } catch (const ErrorException&) {
        std::memset(window_.data(), 0, want);  // no extent holds this part
        windowBytes_ = want;
    }
    windowFirstByte_ = first;
    return windowBytes_ != 0 && byte - first < windowBytes_;
}

std::uint8_t Recoverability::percentOf(std::uint32_t index, const Lost* begin, const Lost* end) const {
    const Owner& owner = owners_[index];
    if (owner.damaged) return 0;
    const std::uint64_t lostBytes = bytesOf(index, begin, end);
    return percent(owner.size - std::min(lostBytes, owner.size), owner.size);
}

std::uint64_t Recoverability::bytesOf(std::uint32_t index, const Lost* begin, const Lost* end) const {
    const Owner& owner = owners_[index];
    // Lost clusters count up to the initialized size: past it the file
    // reads as zeros, whatever its clusters hold.
    std::uint64_t lostBytes = 0;
    auto count = [&](std::uint64_t fromVcn, std::uint64_t toVcn) {
        const std::uint64_t a = times(fromVcn, clusterBytes_);
        const std::uint64_t b = std::min(times(toVcn, clusterBytes_), owner.initialized);
        if (b > a) lostBytes += b - a;
    };
    // The ranges are sorted by VCN; overlapping ones are merged, and with
    // compression widened to whole units.
    const std::uint64_t unit = owner.unitClusters;
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    bool open = false;
    for (const Lost* l = begin; l != end; ++l) {
        if (l->clusters == 0) continue;
        std::uint64_t a = l->vcn;
        std::uint64_t b = l->vcn + std::min(l->clusters, UINT64_MAX - l->vcn);
        if (unit != 0) {
            a = a / unit * unit;
            b = (b - 1) / unit * unit + std::min(unit, UINT64_MAX - (b - 1) / unit * unit);
        }
        if (open && a <= to) {
            to = std::max(to, b);
            continue;
        }
        if (open) count(from, to);
        from = a;
        to = b;
        open = true;
    }
    if (open) count(from, to);
    return lostBytes;
}

} // namespace resurgo
