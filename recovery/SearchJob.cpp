#include "recovery/SearchJob.h"

#include "core/TextUtf.h"
#include "file/FileZ.h"
#include "recovery/SEARCH_CONTEXT.h"
#include "recovery/SEARCH_FILTER.h"
#include "volume/SectorBuffer.h"
#include "volume/Volume.h"

namespace resurgo {

SearchJob::SearchJob() = default;
SearchJob::~SearchJob() = default;

void SearchJob::prepareGeometry(const std::string& root) {
    // Sector 0 through a volume of its own, closed again whatever happens.
    Volume volume;
    volume.openLogical(root);
    try {
        const std::uint32_t bps =
            volume.bytesPerSector < BootRecordNTFS::kBootSectorBytes ? 512 : volume.bytesPerSector;
        SectorBuffer buf(1, bps);
        volume.read(buf, 0);
        bootRecord.parse(buf.data(), buf.size(), volume.geometrySectors);
    } catch (...) {
        volume.close();  // a failure to close replaces the first one
        throw;
    }
    volume.close();
    geometry.init(root, bootRecord.bytesPerSector, bootRecord.sectorsPerCluster, bootRecord.clustersPerMftRecord,
                  bootRecord.mftCluster, bootRecord.mftMirrorCluster, bootRecord.clustersPerIndexRecord,
                  bootRecord.totalClusters());
}

void SearchJob::run(ProgressSink* progress, const std::atomic<std::uint8_t>* cancel) {
    filesystem.clearResults();
    failure_.reset();
    outcome_ = Outcome::Completed;
    if (TextUtf::toCodePoints(pattern).size() > FileZ::kMaxPatternLength) {
        outcome_ = Outcome::BadPattern;
        return;
    }
    try {
        prepareGeometry(driveRoot);
    } catch (const ErrorException& e) {
        outcome_ = Outcome::BootFailed;
        failure_ = e;
        return;
    }
    try {
        filesystem.open(geometry);
    } catch (const ErrorException& e) {
        outcome_ = Outcome::OpenFailed;
        failure_ = e;
        return;
    }
    SEARCH_FILTER filter;
    filter.days = days;
    filter.pattern = pattern;
    SEARCH_CONTEXT context;
    context.cancel = cancel;
    context.progress = progress;
    try {
        filesystem.findFiles(filter, context);
        if (cancel != nullptr && cancel->load() == 1) outcome_ = Outcome::Cancelled;
    } catch (const ErrorException& e) {
        outcome_ = Outcome::WalkFailed;
        failure_ = e;
    }
    filesystem.close();
}

} // namespace resurgo
