#include "recovery/DeepResults.h"

#include <algorithm>
#include <set>

#include "file/WildcardMatcher.h"
#include "ntfs/FILE_NAME_ENTRY.h"
#include "ntfs/FILE_TIME.h"

namespace resurgo {

namespace {

// The names of a directory whose place is unknown.
std::vector<std::string> placeholder(std::uint64_t record) {
    return {DeepResults::kLostFiles, "dir_@" + std::to_string(record)};
}

// Of two records of one number: the later incarnation.
bool newer(const DeepScan::Record& a, const DeepScan::Record& b) {
    if (a.sequence != b.sequence) return a.sequence > b.sequence;
    return a.changeTime > b.changeTime;
}

bool shownNameSpace(std::uint8_t ns) { return ns != FILE_NAME_ENTRY::kDos; }

} // namespace

DeepResults::DeepResults(const DeepScan::Found& found, const std::function<bool(std::uint64_t, std::uint64_t)>& isCurrent,
                         std::uint64_t clusterBytes, std::uint64_t volumeStart)
    : found_(found), clusterBytes_(clusterBytes), current_(found.records.size(), false) {
    std::set<std::uint64_t> currentSources;  // records and index blocks of the current volume's directories
    std::map<std::uint64_t, const DeepScan::RunsOf*> allocationAt;
    for (const auto& a : found.indexAllocations) allocationAt[a.recordOffset] = &a;
    for (std::size_t i = 0; i < found.records.size(); ++i) {
        const DeepScan::Record& r = found.records[i];
        if (isCurrent) current_[i] = isCurrent(r.recordNumber, r.offset);
        if (r.isBase() && r.isDirectory()) directories_[r.recordNumber].push_back(i);
        if (!r.isBase()) extensions_[FILE_REFERENCE(r.baseReference).recordNumber()].push_back(i);
        if (!current_[i] || !r.inUse() || !r.isDirectory()) continue;
        currentSources.insert(r.offset);
        auto a = allocationAt.find(r.offset);
        if (a == allocationAt.end() || clusterBytes == 0) continue;
        for (const auto& block : found.indexBlocks) {
            if (block.directory != r.recordNumber || block.offset < volumeStart) continue;
            const std::uint64_t cluster = (block.offset - volumeStart) / clusterBytes;
            for (const auto& run : a->second->runs) {
                if (cluster >= run.lcn && cluster - run.lcn < run.length) currentSources.insert(block.offset);
            }
        }
    }
    // One name per indexed reference: a long name before a DOS one.
    auto keep = [&](std::unordered_map<std::uint64_t, std::size_t>& names, std::size_t i) {
        const INDEX_NAME& n = found.indexNames[i];
        auto [it, added] = names.emplace(n.child.raw(), i);
        if (!added && !shownNameSpace(found.indexNames[it->second].nameSpace) && shownNameSpace(n.nameSpace)) it->second = i;
    };
    for (std::size_t i = 0; i < found.indexNames.size(); ++i) {
        keep(indexNames_, i);
        const bool fromCurrent = i < found.indexNameSources.size() && currentSources.count(found.indexNameSources[i]) != 0;
        if (!fromCurrent) keep(formerIndexNames_, i);
    }
}

DeepResults::~DeepResults() = default;

bool DeepResults::isCopy(std::size_t i, const std::unordered_map<std::uint64_t, std::size_t>& live) const {
    const DeepScan::Record& r = found_.records[i];
    if (r.offset >= mirrorBegin_ && r.offset < mirrorEnd_) return true;
    auto it = live.find(r.recordNumber);
    if (it == live.end() || it->second == i) return false;
    const DeepScan::Record& l = found_.records[it->second];
    if (l.baseReference != r.baseReference || l.name != r.name) return false;
    // A copy made before the current record was freed has the sequence
    // number freeing raised.
    return l.sequence == r.sequence || sequenceMatches(r.sequence, l.sequence, l.inUse());
}

bool DeepResults::sequenceMatches(std::uint16_t wanted, std::uint16_t has, bool inUse) {
    if (wanted == 0 || has == wanted) return true;
    const std::uint16_t bumped = wanted == 0xFFFF ? 1 : static_cast<std::uint16_t>(wanted + 1);
    return !inUse && has == bumped;
}

const INDEX_NAME* DeepResults::indexName(std::uint64_t rawReference, bool foreign) const {
    const auto& names = foreign ? formerIndexNames_ : indexNames_;
    auto it = names.find(rawReference);
    return it == names.end() ? nullptr : &found_.indexNames[it->second];
}

std::vector<std::size_t> DeepResults::extensionsOf(std::size_t i) const {
    const DeepScan::Record& base = found_.records[i];
    std::vector<std::size_t> out;
    auto it = extensions_.find(base.recordNumber);
    if (it == extensions_.end()) return out;
    // Per extension record number, the copy nearest the base record.
    std::map<std::uint64_t, std::size_t> nearest;
    auto distance = [&](std::size_t k) {
        const std::uint64_t o = found_.records[k].offset;
        return o > base.offset ? o - base.offset : base.offset - o;
    };
    for (std::size_t k : it->second) {
        const DeepScan::Record& e = found_.records[k];
        if (!sequenceMatches(FILE_REFERENCE(e.baseReference).sequence(), base.sequence, base.inUse())) continue;
        auto [at, added] = nearest.emplace(e.recordNumber, k);
        if (!added && distance(k) < distance(at->second)) at->second = k;
    }
    for (const auto& kv : nearest) out.push_back(kv.second);
    return out;
}

DeepResults::Node DeepResults::resolve(const FILE_REFERENCE& directory, bool foreign) const {
    Node node;
    auto it = directories_.find(directory.recordNumber());
    const DeepScan::Record* best = nullptr;
    std::size_t bestIndex = 0;
    if (it != directories_.end()) {
        for (std::size_t k : it->second) {
            const DeepScan::Record& d = found_.records[k];
            if (!sequenceMatches(directory.sequence(), d.sequence, d.inUse())) continue;
            // The current volume's directories hold none of an older volume's files.
            if (foreign && current_[k] && d.inUse()) continue;
            if (best == nullptr || newer(d, *best)) {
                best = &d;
                bestIndex = k;
            }
        }
    }
    if (best != nullptr && !best->name.empty()) {
        node.known = true;
        node.name = best->name;
        node.parent = FILE_REFERENCE(best->parent);
        node.foreign = !current_[bestIndex];
        return node;
    }
    const INDEX_NAME* n = indexName(directory.raw(), foreign);
    if (n != nullptr && n->isDirectory) {
        node.known = true;
        node.name = n->name;
        node.parent = n->parent;
        node.foreign = best != nullptr ? !current_[bestIndex] : foreign;
    }
    return node;
}

const DIRECTORY_INFO& DeepResults::directoryOf(const FILE_REFERENCE& directory, bool foreign) {
    const auto key = std::make_pair(directory.raw(), foreign);
    auto cached = paths_.find(key);
    if (cached != paths_.end()) return cached->second;

    std::vector<std::string> names;
    std::vector<std::string> prefix;
    std::set<std::uint64_t> visited;
    FILE_REFERENCE at = directory;
    bool atForeign = foreign;
    while (at.recordNumber() != kRootDirectory) {
        if (!visited.insert(at.recordNumber()).second || static_cast<int>(names.size()) >= kMaxDepth) {
            prefix = placeholder(at.recordNumber());  // the chain loops
            break;
        }
        const Node node = resolve(at, atForeign);
        if (!node.known) {
            prefix = placeholder(at.recordNumber());
            break;
        }
        names.push_back(node.name);
        at = node.parent;
        atForeign = node.foreign;
    }
    names.insert(names.end(), prefix.rbegin(), prefix.rend());
    std::reverse(names.begin(), names.end());
    DIRECTORY_INFO info;
    info.path = FOUND_FILE::directoryText(names);
    info.names = std::make_shared<const std::vector<std::string>>(std::move(names));
    return paths_.emplace(key, std::move(info)).first->second;
}

std::vector<std::size_t> DeepResults::versions() const {
    const std::vector<DeepScan::Record>& records = found_.records;
    // The current MFT's record of each number.
    std::unordered_map<std::uint64_t, std::size_t> live;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (current_[i]) live.emplace(records[i].recordNumber, i);
    }
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].isBase() && !isCopy(i, live)) order.push_back(i);
    }
    auto version = [&](std::size_t a, std::size_t b) {
        const DeepScan::Record& x = records[a];
        const DeepScan::Record& y = records[b];
        if (x.recordNumber != y.recordNumber) return x.recordNumber < y.recordNumber;
        if (x.sequence != y.sequence) return x.sequence < y.sequence;
        return x.name < y.name;
    };
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (version(a, b) || version(b, a)) return version(a, b);
        if (current_[a] != current_[b]) return static_cast<bool>(current_[a]);
        return records[a].changeTime > records[b].changeTime;
    });
    order.erase(std::unique(order.begin(), order.end(),
                            [&](std::size_t a, std::size_t b) { return !version(a, b) && !version(b, a); }),
                order.end());
    return order;
}

DeepResults::Merged DeepResults::merge(const DeepScan::Record& r, const std::vector<std::size_t>& exts) const {
    Merged m;
    m.name = r.name;
    m.parent = r.parent;
    m.first = r.hasFirstExtent ? &r : nullptr;
    m.data = r.hasData;
    m.content = r.hasContent;
    for (std::size_t k : exts) {
        const DeepScan::Record& e = found_.records[k];
        if (m.name.empty() && !e.name.empty()) {
            m.name = e.name;
            m.parent = e.parent;
        }
        if (m.first == nullptr && e.hasFirstExtent) m.first = &e;
        m.data = m.data || e.hasData;
        m.content = m.content || e.hasContent;
    }
    return m;
}

void DeepResults::nameFromIndex(const DeepScan::Record& r, bool foreign, Merged& m) const {
    const std::uint16_t bumped = r.sequence > 1 ? static_cast<std::uint16_t>(r.sequence - 1) : r.sequence;
    const INDEX_NAME* n = indexName(FILE_REFERENCE::toRecord(r.recordNumber, r.sequence).raw(), foreign);
    if (n == nullptr && !r.inUse()) n = indexName(FILE_REFERENCE::toRecord(r.recordNumber, bumped).raw(), foreign);
    if (n != nullptr) {
        m.name = n->name;
        m.parent = n->parent.raw();
    }
}

std::uint32_t DeepResults::claim(const DeepScan::Record& r, const Merged& m, const std::vector<std::size_t>& exts,
                                 Recoverability::Batch& claims, std::uint64_t totalClusters) const {
    Recoverability::ScannedFile file;
    file.record = r.recordNumber;
    file.modified = r.modified;
    file.size = m.first->size;
    file.initialized = m.first->initialized;
    file.compressionUnit = m.first->compressionUnit;
    file.resident = m.first->residentData;
    for (const auto& e : r.extents) file.extents.push_back({e.vcn, &e.runs});
    for (std::size_t k : exts) {
        for (const auto& e : found_.records[k].extents) file.extents.push_back({e.vcn, &e.runs});
    }
    return claims.add(file, clusterBytes_, totalClusters);
}

FOUND_FILE DeepResults::result(const DeepScan::Record& r, const Merged& m, bool named, bool foreign,
                               std::uint32_t bytesPerSector, std::uint64_t volumeStart) {
    FOUND_FILE f(r.recordNumber, bytesPerSector != 0 && r.offset >= volumeStart ? (r.offset - volumeStart) / bytesPerSector : 0,
                 m.name);
    f.offset = r.offset;
    f.size = m.first != nullptr ? m.first->size : 0;
    f.lastModificationTime = FILE_TIME::fromUtc(r.modified);
    f.creationTime = FILE_TIME::fromUtc(r.created);
    f.lastAccessTime = FILE_TIME::fromUtc(r.accessed);
    f.guessedGeometry = guessed_ && m.first != nullptr && !m.first->residentData && m.first->size > 0;
    f.source = ResultSource::Deep;
    if (!lostFiles_.names) {
        lostFiles_.names = std::make_shared<const std::vector<std::string>>(1, kLostFiles);
        lostFiles_.path = std::string(kLostFiles) + "\\";
    }
    const DIRECTORY_INFO& in = named ? directoryOf(FILE_REFERENCE(m.parent), foreign) : lostFiles_;
    f.directory = in.path;
    f.directoryNames = in.names;
    return f;
}

void DeepResults::build(const SEARCH_FILTER& filter, std::uint64_t now, std::uint32_t bytesPerSector,
                        std::uint64_t volumeStart, std::vector<FOUND_FILE>& out,
                        std::map<std::uint64_t, std::vector<std::uint64_t>>& extensions, Recoverability::Batch* claims,
                        std::uint64_t totalClusters, OLDER_MATCHES* older) {
    const std::vector<DeepScan::Record>& records = found_.records;
    const std::u32string pattern = WildcardMatcher::foldPattern(filter.pattern);
    for (std::size_t i : versions()) {
        const DeepScan::Record& r = records[i];
        if (r.isDirectory() || !r.hasStandardInformation || r.recordNumber < kFirstUserRecord) continue;
        if (current_[i] && r.inUse()) continue;  // a file the volume still has
        const bool foreign = !current_[i];
        const std::vector<std::size_t> exts = extensionsOf(i);

        Merged m = merge(r, exts);
        if (!m.data) continue;  // nothing to restore
        // Without a name of its own, only data of some length shows the
        // record once held a file (formatted blank records hold neither).
        if (m.name.empty() && !m.content) continue;
        if (m.name.empty()) nameFromIndex(r, foreign, m);  // the directory's index may still name it
        const bool named = !m.name.empty();
        if (!named) m.name = "record_" + std::to_string(r.recordNumber);
        if (named && FILE_REFERENCE(m.parent).recordNumber() == kExtendDirectory) continue;  // the volume's own files

        // Every file claims its clusters, whatever the filter.
        std::uint32_t owner = Recoverability::kNoOwner;
        if (claims != nullptr && m.first != nullptr) owner = claim(r, m, exts, *claims, totalClusters);

        if (!WildcardMatcher::match(pattern, m.name)) continue;
        const FILE_TIME modified = FILE_TIME::fromUtc(r.modified);
        const FILE_TIME created = FILE_TIME::fromUtc(r.created);
        if (!modified.isWithinDays(filter.days, now) && !created.isWithinDays(filter.days, now)) {
            if (older != nullptr) older->add(std::max(r.modified, r.created));
            continue;
        }
        if (claims != nullptr) claims->want(owner);

        FOUND_FILE f = result(r, m, named, foreign, bytesPerSector, volumeStart);
        std::vector<std::uint64_t>& extOffsets = extensions[r.offset];
        for (std::size_t k : exts) extOffsets.push_back(records[k].offset);
        out.push_back(std::move(f));
    }
}

} // namespace resurgo
