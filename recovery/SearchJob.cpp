#include "recovery/SearchJob.h"

#include <array>

#include "core/TextUtf.h"
#include "file/FileZ.h"
#include "file/WildcardMatcher.h"
#include "recovery/DeepSearch.h"
#include "recovery/ProgressSink.h"
#include "recovery/SEARCH_CONTEXT.h"
#include "recovery/SEARCH_FILTER.h"
#include "recovery/SearchProgress.h"
#include "recovery/SnapshotSearch.h"
#include "recovery/SourceStack.h"
#include "source/BitLockerMetadata.h"
#include "source/Source.h"
#include "source/SourceError.h"
#include "volume/Volume.h"

namespace resurgo {

namespace {
constexpr std::uint32_t kBootSectorBytes = BootRecordNTFS::kBootSectorBytes;
static_assert(SearchJob::kMaxPatternLength == WildcardMatcher::kMaxPatternLength);
} // namespace

SearchJob::SearchJob() = default;

bool SearchJob::patternAccepted(const std::string& pattern, std::size_t& length) {
    length = TextUtf::toCodePoints(pattern).size();
    return length <= kMaxPatternLength;
}
SearchJob::~SearchJob() = default;

SourceStack& SearchJob::sourceStack() {
    if (!stack_) stack_ = std::make_unique<SourceStack>();
    stackChosen_ = true;
    stackRoot_.clear();
    return *stack_;
}

void SearchJob::openRoot() {
    if (!stack_) stack_ = std::make_unique<SourceStack>();
    stackChosen_ = false;
    stackRoot_ = driveRoot;
    // Whole: a volume whose boot sector does not pass is still read as one,
    // and the boot record then says what is wrong with it.
    const SourceStack::Status status = stack_->open(driveRoot, std::nullopt, true);
    if (status == SourceStack::Status::Ready) return;
    stackRoot_.clear();
    if (stack_->failure()) throw ErrorException(*stack_->failure());
    throw SourceError(status == SourceStack::Status::TableFailed ? kErrPartitionFormat : kErrNotSupported,
                      stack_->message());
}

Source& SearchJob::volumeSource() {
    if (external_ != nullptr) return *external_;
    const bool open = stack_ && stack_->status() == SourceStack::Status::Ready && stack_->volume() != nullptr;
    if (!open || (!stackChosen_ && stackRoot_ != driveRoot)) openRoot();
    return *stack_->volume();
}

SnapshotSearch& SearchJob::snapshotState() {
    if (!snapshots_) {
        snapshots_ = std::make_unique<SnapshotSearch>(volumeSource());
        snapshotList_ = snapshots_->stores();
        snapshotWarnings_ = snapshots_->warnings();
    }
    return *snapshots_;
}

Source& SearchJob::source() {
    if (options.snapshot == 0) return volumeSource();
    return snapshotState().store(options.snapshot);
}

bool SearchJob::readSnapshots() {
    snapshots_.reset();
    try {
        snapshotState();
    } catch (const ErrorException& e) {
        failure_ = e;
        return false;
    }
    return true;
}

void SearchJob::releaseSource() {
    // The copies read through the volume's source.
    snapshots_.reset();
    // A stack the front end opened stays open for its restores.
    if (!stack_ || stackChosen_) return;
    stackRoot_.clear();
    stack_.reset();
}

void SearchJob::prepareGeometry(const std::string& root) {
    if (root != driveRoot) releaseSource();
    driveRoot = root;
    prepareGeometry();
}

namespace {

// Whether src starts with a BitLocker volume's boot sector.
bool startsBitLocker(Source& src) {
    try {
        std::uint8_t sector[kBootSectorBytes] = {};
        return BitLockerMetadata::detect(sector, src.readAt(sector, sizeof sector, 0, "SearchJob::prepareGeometry"));
    } catch (const ErrorException&) {
        return false;
    }
}

} // namespace

void SearchJob::noteStatedLayout(Source& src) {
    try {
        std::uint8_t sector[kBootSectorBytes] = {};
        const std::size_t got = src.readAt(sector, sizeof sector, 0, "SearchJob::noteStatedLayout");
        BootRecordNTFS::Stated stated;
        if (!BootRecordNTFS::stated(sector, got, stated)) return;
        sourceBytes_ = src.size();
        volumeBytes_ = stated.volumeBytes;
        mftOffset_ = stated.mftOffset;
        mftMirrorOffset_ = stated.mftMirrorOffset;
    } catch (const ErrorException&) {
    }
}

void SearchJob::prepareGeometry() {
    volumeBytes_ = sourceBytes_ = mftOffset_ = mftMirrorOffset_ = 0;
    filesystem.close();
    Source* src = nullptr;
    try {
        src = &source();
        // The filesystem's own volume: openFilesystem goes on with it, and
        // the boot sector is read once.
        Volume& volume = filesystem.volume();
        volume.open(*src);
        volume.path = driveRoot;
        const std::vector<std::uint8_t>& sector = volume.bootSector();
        bootRecord.parse(sector.data(), sector.size(), volume.geometrySectors);
        sourceBytes_ = volume.sizeBytes;
    } catch (const ErrorException& e) {
        bool locked = false;
        if (src != nullptr && e.code() != kErrOpenDisk && e.code() != kErrDiskGeometry) {
            noteStatedLayout(*src);
            locked = startsBitLocker(*src);
        }
        try {
            filesystem.close();
            releaseSource();
        } catch (const ErrorException&) {
        }
        // A drive the system has not unlocked reads as its encrypted bytes.
        if (locked) {
            throw SourceError(kErrNotSupported, driveRoot + " is a locked BitLocker drive: unlock it in Windows first");
        }
        throw;
    } catch (...) {
        try {
            filesystem.close();
            releaseSource();
        } catch (const ErrorException&) {
        }
        throw;
    }
    // A source opened here stays open for openFilesystem; closeFilesystem
    // closes it.
    // The boot sector counts the volume's sectors without the backup boot
    // sector at its end.
    volumeBytes_ = bootRecord.totalSectors <= UINT64_MAX / bootRecord.bytesPerSector
                       ? bootRecord.totalSectors * bootRecord.bytesPerSector
                       : UINT64_MAX;
    const std::uint64_t cluster = static_cast<std::uint64_t>(bootRecord.bytesPerSector) * bootRecord.sectorsPerCluster;
    mftOffset_ = bootRecord.mftCluster <= UINT64_MAX / cluster ? bootRecord.mftCluster * cluster : UINT64_MAX;
    mftMirrorOffset_ =
        bootRecord.mftMirrorCluster <= UINT64_MAX / cluster ? bootRecord.mftMirrorCluster * cluster : UINT64_MAX;
    bootRecord.makeGeometry(driveRoot, geometry);
}

void SearchJob::openFilesystem() {
    try {
        filesystem.open(source(), geometry);
    } catch (...) {
        try {
            filesystem.close();
            releaseSource();
        } catch (const ErrorException&) {
        }
        throw;
    }
}

void SearchJob::closeFilesystem() {
    if (deep_) {
        deep_->close(filesystem);
    } else {
        filesystem.close();
    }
    releaseSource();
}

DeepSearch& SearchJob::deepState() {
    if (!deep_) deep_ = std::make_unique<DeepSearch>();
    return *deep_;
}

void SearchJob::openDeep() {
    try {
        deepState().open(source(), driveRoot, filesystem);
        geometry = deep_->geometry().geometry;
    } catch (...) {
        try {
            closeFilesystem();
        } catch (const ErrorException&) {
        }
        throw;
    }
}

void SearchJob::openDeepAt(std::uint64_t offset, FileZ& entry) { deepState().openAt(source(), filesystem, offset, entry); }

std::optional<std::uint64_t> SearchJob::deepLogStart() { return deepState().logStart(filesystem); }

bool SearchJob::deepInUse(std::uint64_t offset, const FileZ& entry) {
    return deepState().isCurrentInUse(filesystem, offset, entry.recordNumber(), !entry.isDeleted());
}

void SearchJob::planPhases(SearchProgress& progress, std::size_t copies) {
    using Phase = SearchProgress::Phase;
    std::uint64_t sourceBytes = 0;
    try {
        sourceBytes = source().size();
    } catch (const ErrorException&) {
        // Unknown: the phases that read it weigh nothing until they start.
    }
    std::uint64_t mftBytes = 0;
    if (!options.deep && filesystem.isOpen()) {
        try {
            mftBytes = filesystem.mftEntry().getRealSize();
        } catch (const ErrorException&) {
        }
    }
    // The walk reads the MFT (and $LogFile, small beside it); a shadow
    // copy's walk reads the copy's MFT, about as large; a deep scan the
    // whole source; a carve the free clusters, known only once it starts
    // (runCarve plans it again then): until then, the whole source.
    progress.plan(Phase::Walk, options.deep ? 0 : mftBytes);
    progress.plan(Phase::Snapshots, options.deep ? 0 : mftBytes * copies);
    progress.plan(Phase::DeepScan, options.deep ? sourceBytes : 0);
    progress.plan(Phase::Carve, options.carve ? sourceBytes : 0);
}

void SearchJob::runDeep(SearchProgress& progress, const std::atomic<std::uint8_t>* cancel) {
    Source* src = nullptr;
    try {
        src = &source();
    } catch (const ErrorException& e) {
        outcome_ = Outcome::BootFailed;
        failure_ = e;
        return;
    }
    SEARCH_FILTER filter;
    filter.days = days;
    filter.pattern = pattern;
    filter.minRecoverable = options.minRecoverable;
    SEARCH_CONTEXT context;
    context.cancel = cancel;
    context.progress = &progress;
    planPhases(progress, 0);
    progress.begin(SearchProgress::Phase::DeepScan);
    try {
        deepState().run(*src, driveRoot, filesystem, filter, context);
        geometry = deep_->geometry().geometry;
        sourceBytes_ = src->size();
        volumeBytes_ = geometry.totalClusters * geometry.clusterBytes();
        if (deep_->report().cancelled || (cancel != nullptr && cancel->load() == 1)) {
            outcome_ = Outcome::Cancelled;
        } else if (options.carve) {
            const DeepGeometry& g = deep_->geometry();
            const bool known = g.from != DeepGeometry::From::Assumed;
            runCarve(progress, cancel,
                     {g.volumeStart, known ? g.geometry.clusterBytes() : 512, known ? g.geometry.totalClusters : 0});
        }
    } catch (const ErrorException& e) {
        outcome_ = Outcome::WalkFailed;
        failure_ = e;
    }
    try {
        closeFilesystem();
    } catch (const ErrorException&) {
    }
}

void SearchJob::runCarve(SearchProgress& progress, const std::atomic<std::uint8_t>* cancel,
                         const CarveSearch::Layout& layout) {
    carveReport_ = CarveSearch::Report();
    Source& src = source();
    // A deep scan's files keep their clusters: the carve does not find
    // them again.
    std::vector<Carver::Range> claimed;
    if (options.deep && deep_) {
        for (const FOUND_FILE& f : filesystem.results()) {
            FileZ entry;
            try {
                deep_->openAt(src, filesystem, f.offset, entry);
            } catch (const ErrorException&) {
                continue;
            }
            CarveSearch::claimData(entry, layout, claimed);
        }
    }
    bool fromBitmap = false;
    const std::vector<Carver::Range> ranges =
        CarveSearch::freeRanges(&filesystem, filesystem.results(), layout, src.size(), fromBitmap, std::move(claimed));
    std::uint64_t carveBytes = 0;
    for (const Carver::Range& r : ranges) carveBytes += r.end > r.begin ? r.end - r.begin : 0;
    progress.plan(SearchProgress::Phase::Carve, carveBytes);
    progress.begin(SearchProgress::Phase::Carve);
    progress.setDetail("looking for files without records");
    CarveSearch::Known known;
    known.logged = &filesystem.loggedNames();
    if (options.deep && deep_) {
        known.logged = &deep_->loggedNames();
        known.indexNames = &deep_->indexNames();
        known.slackNames = &deep_->slackNames();
    }
    std::vector<FOUND_FILE> carved = CarveSearch::run(src, ranges, layout, pattern, &progress, cancel, carveReport_, known);
    carveReport_.fromBitmap = fromBitmap;
    if (carveReport_.cancelled) outcome_ = Outcome::Cancelled;
    filesystem.appendResults(std::move(carved));
}

void SearchJob::carveInstead(SearchProgress& progress, const std::atomic<std::uint8_t>* cancel,
                             const CarveSearch::Layout& layout) {
    try {
        outcome_ = Outcome::Completed;
        runCarve(progress, cancel, layout);
        releaseSource();
    } catch (const ErrorException& e) {
        outcome_ = Outcome::WalkFailed;
        failure_ = e;
    }
}

bool SearchJob::measureCarved(std::uint64_t offset, FOUND_FILE& file) {
    return CarveSearch::measureAt(source(), offset, file);
}

void SearchJob::copyCarved(const FOUND_FILE& file, OutputSink& out) {
    CarveSearch::copy(source(), file.offset, file.size, file.carvedCompressed, out);
}

void SearchJob::runWalk(SearchProgress& progress, const std::atomic<std::uint8_t>* cancel) {
    SEARCH_FILTER filter;
    filter.days = days;
    filter.pattern = pattern;
    filter.minRecoverable = options.minRecoverable;
    filter.verify = options.verify;
    const bool copies = options.snapshots && options.snapshot == 0;
    SEARCH_CONTEXT context;
    context.cancel = cancel;
    context.progress = &progress;
    try {
        // The copies are counted first: each walk gets its share.
        if (copies) snapshots_.reset();
        planPhases(progress, copies ? snapshotState().stores().size() : 0);
        progress.begin(SearchProgress::Phase::Walk);
        filesystem.findFiles(filter, context);
        if (copies) {
            progress.begin(SearchProgress::Phase::Snapshots);
            snapshots_->search(*this, &progress, cancel);
            snapshotWarnings_ = snapshots_->warnings();
        }
        if (cancel != nullptr && cancel->load() == 1) {
            outcome_ = Outcome::Cancelled;
        } else if (options.carve) {
            runCarve(progress, cancel, {0, geometry.clusterBytes(), geometry.totalClusters});
        }
    } catch (const ErrorException& e) {
        outcome_ = Outcome::WalkFailed;
        failure_ = e;
    }
}

void SearchJob::run(ProgressSink* sink, const std::atomic<std::uint8_t>* cancel) {
    // One range for all the search's phases.
    SearchProgress progress(sink);
    filesystem.clearResults();
    failure_.reset();
    outcome_ = Outcome::Completed;
    std::size_t length = 0;
    if (!patternAccepted(pattern, length)) {
        outcome_ = Outcome::BadPattern;
        return;
    }
    if (options.deep) {
        if (!stackChosen_ && stackRoot_ != driveRoot) releaseSource();
        runDeep(progress, cancel);
        return;
    }
    try {
        prepareGeometry(driveRoot);
    } catch (const ErrorException& e) {
        outcome_ = Outcome::BootFailed;
        failure_ = e;
        // Without a boot sector a carve reads the whole source in sectors.
        if (options.carve) carveInstead(progress, cancel, {0, 512, 0});
        return;
    }
    try {
        openFilesystem();
    } catch (const ErrorException& e) {
        outcome_ = Outcome::OpenFailed;
        failure_ = e;
        if (options.carve) carveInstead(progress, cancel, {0, geometry.clusterBytes(), geometry.totalClusters});
        return;
    }
    runWalk(progress, cancel);
    closeFilesystem();
}

} // namespace resurgo
