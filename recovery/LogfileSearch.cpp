#include "recovery/LogfileSearch.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_map>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "file/WildcardMatcher.h"
#include "ntfs/LOG_OPERATION.h"
#include "ntfs/LOG_RESTART_AREA.h"
#include "ntfs/LogRecordScan.h"
#include "ntfs/LoggedFileRecord.h"
#include "ntfs/MFT_RECORD.h"
#include "platform/Platform.h"
#include "recovery/DataStream.h"
#include "recovery/FilesystemNTFS.h"
#include "recovery/Recoverability.h"
#include "source/Source.h"
#include "volume/Volume.h"

namespace resurgo {

namespace {

// The operation a client record holds; false for one whose bytes do not
// hold together (skipped, as the log's other damage is).
bool parsed(const LOG_RECORD& r, LOG_OPERATION& op) {
    try {
        op.parse(r.data.data(), r.data.size());
        return true;
    } catch (const ErrorException&) {
        return false;
    }
}

// The size of the unnamed data of a record image, or nothing when the image
// is no base file record with a name.
bool measure(std::vector<std::uint8_t> bytes, const NTFS_GEOMETRY& geometry, std::uint64_t& size) {
    try {
        MFT_RECORD record;
        record.keepResidentValues = false;
        record.parse(bytes.data(), bytes.size(), geometry);
        if (record.baseReference.raw() != 0 || record.fileNames.empty() || record.isDirectory()) return false;
        size = 0;
        for (const DATA_ATTRIBUTE& d : record.dataAttributes) {
            if (d.isUnnamed() && d.startingVcn == 0) size = d.nonResident ? d.dataSize : d.valueLength;
        }
        return true;
    } catch (const ErrorException&) {
        return false;
    }
}

// Starts a version of record number, keeping at most kKeptVersions.
void startVersion(std::vector<LogfileSearch::Version>& versions, std::size_t& open, std::uint64_t number,
                  std::uint16_t sequence, std::uint64_t lsn) {
    if (versions.size() == LogfileSearch::kKeptVersions) versions.erase(versions.begin());
    versions.push_back(LogfileSearch::Version{number, sequence, lsn, 0, {}});
    open = versions.size() - 1;
}

// Keeps the record's image as its version's last state with data (a delete
// may empty the runs first).
void noteState(LogfileSearch::Version& v, const LoggedFileRecord& image, const NTFS_GEOMETRY& geometry, std::uint64_t lsn) {
    std::vector<std::uint8_t> bytes = image.onDisk();
    std::uint64_t size = 0;
    if (measure(bytes, geometry, size) && (v.image.empty() || size > 0 || v.size == 0)) {
        v.image = std::move(bytes);
        v.size = size;
        v.lsn = lsn;
    }
}

} // namespace

std::vector<LogfileSearch::Version> LogfileSearch::rebuild(const std::vector<LOG_RECORD>& records,
                                                           const NTFS_GEOMETRY& geometry, std::uint64_t recordLimit) {
    constexpr std::size_t kNone = ~static_cast<std::size_t>(0);
    struct State {
        LoggedFileRecord image;
        std::vector<Version> versions;  // oldest first, at most kKeptVersions
        std::size_t open = kNone;       // the version changes go to
    };
    std::unordered_map<std::uint64_t, State> states;
    std::vector<Version> out;
    const std::uint64_t recordBytes = geometry.mftRecordSize;
    if (recordBytes == 0 || recordBytes % LoggedFileRecord::kStride != 0) return out;
    for (const LOG_RECORD& r : records) {
        LOG_OPERATION op;
        if (!parsed(r, op)) continue;
        if (!op.changesFileRecord()) continue;
        const std::uint64_t at = op.targetByte(geometry.clusterBytes());
        if (at % recordBytes != 0 || at / recordBytes >= recordLimit) continue;
        const std::uint64_t number = at / recordBytes;
        State& s = states.try_emplace(number, State{LoggedFileRecord(recordBytes), {}, kNone}).first->second;
        const LoggedFileRecord::Change change = s.image.apply(op);
        if (change == LoggedFileRecord::Change::None) continue;
        const bool freed = change == LoggedFileRecord::Change::Deallocated;
        const bool opened = s.open != kNone;
        // A new file in the record, or a freed one whose image only the
        // deallocation's undo data gave.
        if (change == LoggedFileRecord::Change::Initialized || (freed && !opened)) {
            const std::uint16_t sequence = s.image.sequence();
            // A record initialized again with the same sequence number is
            // the same version going on.
            if (!opened || s.versions[s.open].sequence != sequence) {
                startVersion(s.versions, s.open, number, sequence, r.lsn);
            }
        }
        if (s.open != kNone && !(freed && opened)) noteState(s.versions[s.open], s.image, geometry, r.lsn);
        if (freed) {
            s.open = kNone;
            s.image.forget();
        }
    }
    std::vector<std::uint64_t> numbers;
    numbers.reserve(states.size());
    for (const auto& kv : states) numbers.push_back(kv.first);
    std::sort(numbers.begin(), numbers.end());
    for (std::uint64_t n : numbers) {
        for (Version& v : states.find(n)->second.versions) {
            if (!v.image.empty()) out.push_back(std::move(v));
        }
    }
    return out;
}

LogfileSearch::LogfileSearch(FilesystemNTFS& filesystem) : fs_(filesystem) {}
LogfileSearch::~LogfileSearch() = default;

void LogfileSearch::read() {
    versions_.clear();
    warnings_.clear();
    std::vector<std::uint8_t> log;
    try {
        FileZ entry;
        fs_.openEntry(kLogFileRecord, entry);
        DataStream stream(fs_.volume(), fs_.geometry(), entry);
        const std::uint64_t size = std::min(stream.size(), kMaxLogBytes);
        log.resize(static_cast<std::size_t>(size));
        for (std::size_t at = 0; at < log.size();) {
            const std::size_t got = stream.readSome(at, log.data() + at, log.size() - at);
            if (got == 0) break;
            at += got;
        }
    } catch (const ErrorException& e) {
        log.clear();
        try {
            if (start_) readAt(fs_.volume(), *start_, log);
        } catch (const ErrorException& again) {
            warnings_.push_back("$LogFile can't be read: " + again.diagnostic());
            return;
        }
        if (log.empty()) {
            warnings_.push_back("$LogFile can't be read: " + e.diagnostic());
            return;
        }
    }
    LogRecordScan::Result scan = LogRecordScan::scan(log);
    warnings_ = std::move(scan.warnings);
    versions_ = rebuild(scan.records, fs_.geometry(), recordLimit());
}

std::uint64_t LogfileSearch::recordLimit() {
    // Without the MFT nothing bounds the record numbers but their width.
    const std::uint64_t capacity = fs_.mftEntry().recordCapacity();
    return capacity != 0 ? capacity : std::uint64_t{1} << 48;
}

void LogfileSearch::readAt(Volume& volume, std::uint64_t start, std::vector<std::uint8_t>& log) {
    log.clear();
    const std::uint64_t volumeBytes = volume.source() != nullptr ? volume.source()->size() : 0;
    if (start >= volumeBytes || volumeBytes - start < LOG_RESTART_AREA::kMinPageSize) return;
    std::vector<std::uint8_t> page(LOG_RESTART_AREA::kMaxPageSize);
    const std::size_t head = static_cast<std::size_t>(std::min<std::uint64_t>(page.size(), volumeBytes - start));
    volume.readBytes(page.data(), head, start, "LogfileSearch::readAt");
    const std::uint32_t pageSize = LOG_RESTART_AREA::statedPageSize(page.data(), head);
    if (pageSize == 0 || pageSize > head) return;
    LOG_RESTART_AREA restart;
    restart.parse(page.data(), pageSize);
    const std::uint64_t size = std::min({restart.fileSize, kMaxLogBytes, volumeBytes - start});
    log.resize(static_cast<std::size_t>(size));
    volume.readBytes(log.data(), log.size(), start, "LogfileSearch::readAt");
}

std::optional<LogfileSearch::LoggedGeometry> LogfileSearch::geometryOf(const std::vector<LOG_RECORD>& records) {
    // NTFS 3.1 records name themselves; their update sequence array
    // follows that number.
    constexpr std::size_t kHeader31 = MFT_RECORD::kHeaderBytes31;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint64_t> votes;
    std::uint64_t cast = 0;
    for (const LOG_RECORD& r : records) {
        LOG_OPERATION op;
        if (!parsed(r, op)) continue;
        if (op.redoOperation != LOG_OPERATION::InitializeFileRecordSegment || op.targetVcn == 0) continue;
        const ByteReader image(op.redo, op.redoLength, kErrRecordFormat, "LogfileSearch::geometryOf");
        if (!image.contains(0, kHeader31) || std::memcmp(op.redo, "FILE", 4) != 0 ||
            image.u16(MFT_RECORD::kUsaOffset) < kHeader31) {
            continue;
        }
        const std::uint32_t recordBytes = image.u32(MFT_RECORD::kBytesAllocated);
        if (recordBytes < 512 || recordBytes > 4096 || (recordBytes & (recordBytes - 1)) != 0) continue;
        const std::uint64_t at = std::uint64_t{image.u32(MFT_RECORD::kRecordNumber)} * recordBytes;
        const std::uint64_t block = std::uint64_t{op.clusterBlockOffset} * LOG_OPERATION::kBlockBytes;
        if (at < block || (at - block) % op.targetVcn != 0) continue;
        const std::uint64_t cluster = (at - block) / op.targetVcn;
        ++cast;
        if (cluster < 512 || cluster > 65536 || (cluster & (cluster - 1)) != 0) continue;
        ++votes[{static_cast<std::uint32_t>(cluster), recordBytes}];
    }
    if (votes.empty()) return std::nullopt;
    const auto best = std::max_element(votes.begin(), votes.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
    // Records that disagree mean the log is not one volume's, or not read
    // right: nothing is taken from it then.
    if (best->second * 10 < cast * 9) return std::nullopt;
    return LoggedGeometry{best->first.first, best->first.second, best->second};
}

std::optional<std::uint64_t> LogfileSearch::chooseStart(Volume& volume, const std::vector<std::uint64_t>& pages) {
    const std::uint64_t volumeBytes = volume.source() != nullptr ? volume.source()->size() : 0;
    std::vector<std::uint8_t> page(LOG_RESTART_AREA::kMaxPageSize);
    std::optional<std::uint64_t> best;
    std::uint64_t bestLsn = 0;
    std::vector<std::uint64_t> sorted = pages;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const std::uint64_t at = sorted[i];
        if (at >= volumeBytes) continue;
        const std::size_t head = static_cast<std::size_t>(std::min<std::uint64_t>(page.size(), volumeBytes - at));
        try {
            volume.readBytes(page.data(), head, at, "LogfileSearch::chooseStart");
            const std::uint32_t size = LOG_RESTART_AREA::statedPageSize(page.data(), head);
            if (size == 0 || size > head) continue;
            // The second page of a pair is its log's copy, not a start.
            if (i > 0 && sorted[i - 1] + size == at) continue;
            LOG_RESTART_AREA restart;
            restart.parse(page.data(), size);
            if (!best || restart.currentLsn > bestLsn) {
                best = at;
                bestLsn = restart.currentLsn;
            }
        } catch (const ErrorException&) {
            // Not a restart page after all, or unreadable: not a start.
        }
    }
    return best;
}

std::vector<std::uint64_t> LogfileSearch::findRestartPages(Volume& volume) {
    constexpr std::size_t kBlock = 4 << 20;
    constexpr std::size_t kStep = 512;
    constexpr std::size_t kMaxPages = 64;
    const std::uint64_t volumeBytes = volume.source() != nullptr ? volume.source()->size() : 0;
    std::vector<std::uint8_t> block(kBlock);
    std::vector<std::uint64_t> pages;
    for (std::uint64_t at = 0; at < volumeBytes && pages.size() < kMaxPages; at += kBlock) {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, volumeBytes - at));
        try {
            volume.readBytes(block.data(), length, at, "LogfileSearch::findRestartPages");
        } catch (const ErrorException&) {
            continue;  // an unreadable stretch holds no page we can use
        }
        for (std::size_t i = 0; i + 4 <= length && pages.size() < kMaxPages; i += kStep) {
            if (std::memcmp(block.data() + i, "RSTR", 4) == 0) pages.push_back(at + i);
        }
    }
    return pages;
}

bool LogfileSearch::openImage(const Version& v, FileZ& entry) {
    // A version without data has nothing to bring back.
    if (v.record < kFirstUserRecord || v.size == 0) return false;
    try {
        std::vector<std::uint8_t> bytes = v.image;
        entry.openFromScan(bytes.data(), bytes.size(), fs_.volume(), fs_.geometry(), 0, v.record,
                           [](const MFT_RECORD&) { return std::vector<std::vector<std::uint8_t>>(); });
        if (entry.isDirectory() || entry.getName().empty()) return false;
        if (entry.getDirectoryReference().recordNumber() == kExtendDirectory) return false;
    } catch (const ErrorException&) {
        return false;
    }
    return true;
}

std::vector<LOGGED_NAME> LogfileSearch::dataNames() {
    std::vector<LOGGED_NAME> out;
    FileZ entry;
    for (const Version& v : versions_) {
        if (!openImage(v, entry)) continue;
        try {
            const std::vector<const DATA_ATTRIBUTE*> extents = entry.dataExtents();
            const auto first = std::find_if(extents.begin(), extents.end(),
                                            [](const DATA_ATTRIBUTE* d) { return d->startingVcn == 0; });
            if (first == extents.end() || !(*first)->nonResident || (*first)->compressed) continue;
            const RUN_LIST& runs = (*first)->runs;
            const auto run = runs.begin();
            if (run == runs.end() || run->sparse || run->lcn < 0) continue;
            LOGGED_NAME n;
            n.record = v.record;
            n.sequence = v.sequence;
            n.firstLcn = static_cast<std::uint64_t>(run->lcn);
            n.size = v.size;
            n.name = entry.getName();
            n.parent = entry.getDirectoryReference().recordNumber();
            const DIRECTORY_INFO info = directories_ ? directories_(entry.getDirectoryReference())
                                                     : fs_.getDirectoryInfo(entry.getDirectoryReference());
            if (info.names) n.directory = *info.names;
            n.created = FILE_TIME::fromUtc(entry.creationTimeUtc());
            n.modified = FILE_TIME::fromUtc(entry.modificationTimeUtc());
            n.accessed = FILE_TIME::fromUtc(entry.accessTimeUtc());
            n.listed = listed_.count({v.record, v.sequence}) != 0;
            out.push_back(std::move(n));
        } catch (const ErrorException&) {
            // Runs that can't be read name no cluster.
        }
    }
    return out;
}

bool LogfileSearch::listable(const Version& v, FileZ& entry) {
    if (!openImage(v, entry)) return false;
    // The record's file now: the same version (in use, or freed and listed
    // by the walk of the MFT) is not listed again.
    try {
        FileZ current;
        fs_.openEntry(v.record, current);
        const std::uint16_t sequence = current.records().front().sequenceNumber;
        if (sequence == v.sequence) return false;
        const std::uint16_t freed = v.sequence == 0xFFFF ? 1 : static_cast<std::uint16_t>(v.sequence + 1);
        if (current.isDeleted() && sequence == freed && !current.getName().empty()) return false;
    } catch (const ErrorException&) {
        // Nothing readable is left in the record.
    }
    return true;
}

bool LogfileSearch::open(std::uint64_t record, FileZ& entry) {
    for (auto it = versions_.rbegin(); it != versions_.rend(); ++it) {
        if (it->record == record && listable(*it, entry)) return true;
    }
    return false;
}

void LogfileSearch::findFiles(const SEARCH_FILTER& filter, std::vector<FOUND_FILE>& out, OLDER_MATCHES& older,
                              LESS_RECOVERABLE& less) {
    const std::uint64_t now = platform().currentUtc();
    const std::u32string pattern = WildcardMatcher::foldPattern(filter.pattern);
    Recoverability::Batch batch;
    std::vector<FOUND_FILE> found;
    std::unordered_map<std::uint64_t, std::uint16_t> sequenceOf;
    FileZ entry;
    for (std::size_t begin = 0; begin < versions_.size();) {
        // The versions of one record, the newest last: the newest listable one.
        std::size_t end = begin + 1;
        while (end < versions_.size() && versions_[end].record == versions_[begin].record) ++end;
        const std::size_t first = begin;
        begin = end;
        if (filter.record && *filter.record != versions_[first].record) continue;
        while (end > first && !listable(versions_[end - 1], entry)) --end;
        if (end == first) continue;
        const Version& v = versions_[end - 1];
        sequenceOf[v.record] = v.sequence;
        const std::uint32_t owner = batch.add(entry, v.record, fs_.geometry().clusterBytes());
        const std::string name = entry.getName();
        if (!WildcardMatcher::match(pattern, name)) continue;
        const FILE_TIME modified = FILE_TIME::fromUtc(entry.modificationTimeUtc());
        const FILE_TIME created = FILE_TIME::fromUtc(entry.creationTimeUtc());
        if (!modified.isWithinDays(filter.days, now) && !created.isWithinDays(filter.days, now)) {
            older.add(std::max(entry.modificationTimeUtc(), entry.creationTimeUtc()));
            continue;
        }
        batch.want(owner);
        FOUND_FILE f(v.record, 0, name);
        try {
            f.firstSector = fs_.mftEntry().getSectorOfRecord(v.record);
            f.offset = f.firstSector * fs_.geometry().bytesPerSector;
        } catch (const ErrorException&) {
        }
        f.size = v.size;
        f.lastModificationTime = modified;
        f.creationTime = created;
        f.lastAccessTime = FILE_TIME::fromUtc(entry.accessTimeUtc());
        f.source = ResultSource::Logfile;
        const DIRECTORY_INFO info = directories_ ? directories_(entry.getDirectoryReference())
                                                 : fs_.getDirectoryInfo(entry.getDirectoryReference());
        f.directory = info.path;
        f.directoryNames = info.names;
        found.push_back(std::move(f));
    }
    if (older.nowUtc == 0) older.nowUtc = now;
    Recoverability pass(fs_.access());
    pass.take(batch);
    pass.apply(found, 0);
    for (FOUND_FILE& f : found) {
        if (f.recoverable < filter.minRecoverable) {
            less.add(f.recoverable);
            continue;
        }
        listed_.insert({f.recordNumber, sequenceOf[f.recordNumber]});
        out.push_back(std::move(f));
    }
}

} // namespace resurgo
