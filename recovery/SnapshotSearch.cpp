#include "recovery/SnapshotSearch.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "recovery/ErrorText.h"
#include "recovery/LiveRecords.h"
#include "recovery/ProgressSpan.h"
#include "recovery/SEARCH_CONTEXT.h"
#include "recovery/SEARCH_FILTER.h"
#include "recovery/SearchJob.h"
#include "recovery/ShadowDevices.h"
#include "source/ShadowVolume.h"
#include "source/Source.h"
#include "source/SourceError.h"

namespace resurgo {

namespace {

// What makes two results the same file: its record, when it was made and
// its name (the same in every copy that holds it, in use or deleted).
using FileKey = std::tuple<std::uint64_t, std::uint64_t, std::string>;
FileKey keyOf(const FOUND_FILE& f) { return FileKey(f.recordNumber, f.creationTime.utc(), f.name); }

// Adds f to what the copies add, unless the same file is listed already:
// then the version of which more can come back stays.
void keep(FilesystemNTFS& results, std::map<FileKey, std::size_t>& seen, std::vector<FOUND_FILE>& added,
          FOUND_FILE f) {
    const auto [at, fresh] = seen.emplace(keyOf(f), results.resultCount() + added.size());
    if (fresh) {
        added.push_back(std::move(f));
    } else if (at->second >= results.resultCount()) {
        FOUND_FILE& kept = added[at->second - results.resultCount()];
        if (f.recoverable > kept.recoverable) kept = std::move(f);
    } else if (const FOUND_FILE& now = results.result(at->second);
               f.recoverable > now.recoverable ||
               (now.source == ResultSource::Logfile && f.recoverable >= now.recoverable)) {
        // A copy holds the file's own bytes; a version rebuilt from the log
        // reads clusters the volume may have given to others since.
        results.replaceResult(at->second, std::move(f));
    }
}

// The share of a copy's file that read back as zeros (blocks the copy did
// not keep) counts as lost.
void countZerosAsLost(FOUND_FILE& f) {
    if (f.zeroed == FOUND_FILE::kNotSampled) return;
    f.recoverable = std::min<std::uint8_t>(f.recoverable, static_cast<std::uint8_t>(100 - std::min<int>(f.zeroed, 100)));
}

} // namespace

SnapshotSearch::SnapshotSearch(Source& volume) {
    try {
        // Where the stores can't be read, the system's own copies can.
        if (ShadowVolume::readsStores()) {
            shadows_ = std::make_unique<ShadowVolume>(volume);
        } else {
            shadows_ = std::make_unique<ShadowDevices>(volume);
        }
        stores_ = shadows_->stores();
        opened_.resize(stores_.size());
        for (std::string& note : shadows_->notes()) warnings_.push_back(std::move(note));
    } catch (const ErrorException& e) {
        shadows_.reset();
        warnings_.push_back("The shadow copies can't be read: " + ErrorText::reason(e) + ".");
    }
}

SnapshotSearch::~SnapshotSearch() {
    opened_.clear();  // each copy before the volume it reads
}

Source& SnapshotSearch::store(unsigned number) {
    if (!shadows_ || number == 0 || number > stores_.size()) {
        throw SourceError(kErrUnrecognized, "there is no shadow copy " + std::to_string(number) + " (the volume has " +
                                                std::to_string(stores_.size()) + ")");
    }
    std::unique_ptr<Source>& slot = opened_[number - 1];
    if (!slot) slot = shadows_->open(number);
    return *slot;
}

void SnapshotSearch::search(SearchJob& job, ProgressSink* progress, const std::atomic<std::uint8_t>* cancel) {
    if (stores_.empty()) return;
    const int copies = static_cast<int>(stores_.size());
    const LiveRecords live = LiveRecords::read(job.filesystem, cancel);
    FilesystemNTFS& results = job.filesystem;
    std::map<FileKey, std::size_t> seen;
    for (std::size_t i = 0; i < results.resultCount(); ++i) seen.emplace(keyOf(results.result(i)), i);
    for (unsigned n = static_cast<unsigned>(stores_.size()); n >= 1; --n) {
        if (cancel != nullptr && cancel->load() == 1) return;
        // Newest first: the k-th walk takes the k-th share.
        const int walked = copies - static_cast<int>(n);
        ProgressSpan share(progress, 100 * walked / copies, 100 * (walked + 1) / copies);
        SearchJob copy;
        copy.driveRoot = job.driveRoot;
        LESS_RECOVERABLE less;
        try {
            copy.useSource(&store(n));
            copy.prepareGeometry();
            copy.openFilesystem();
            SEARCH_FILTER filter;
            filter.days = job.days;
            filter.pattern = job.pattern;
            filter.minRecoverable = job.options.minRecoverable;
            filter.verify = true;
            filter.live = &live;
            SEARCH_CONTEXT context;
            context.cancel = cancel;
            context.progress = progress != nullptr ? &share : nullptr;
            copy.filesystem.findFiles(filter, context);
            copy.closeFilesystem();
            if (const std::uint64_t lost = copy.filesystem.gaps().unreadableRecords; lost != 0) {
                warnings_.push_back("Shadow copy " + std::to_string(n) + " is damaged: " + std::to_string(lost) +
                                    " of its MFT records could not be read, and its files there are not listed.");
            }
        } catch (const ErrorException& e) {
            warnings_.push_back("Shadow copy " + std::to_string(n) + " can't be searched: " + ErrorText::reason(e) + ".");
            continue;
        }
        const FILE_TIME created = FILE_TIME::fromUtc(stores_[n - 1].created);
        std::vector<FOUND_FILE> added;
        for (const FOUND_FILE& found : copy.filesystem.results()) {
            FOUND_FILE f = found;
            f.source = ResultSource::Snapshot;
            f.snapshot = static_cast<std::uint16_t>(n);
            f.snapshotCreated = created;
            countZerosAsLost(f);
            if (f.recoverable < job.options.minRecoverable) {
                less.add(f.recoverable);
                continue;
            }
            keep(results, seen, added, std::move(f));
        }
        less.add(copy.filesystem.lessRecoverable());
        results.appendResults(std::move(added), copy.filesystem.olderMatches(), less);
    }
}

} // namespace resurgo
