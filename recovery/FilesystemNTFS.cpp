#include "recovery/FilesystemNTFS.h"

#include <algorithm>

#include "core/ErrorException.h"
#include "recovery/DataStream.h"
#include "recovery/FileOutput.h"
#include "recovery/LogfileSearch.h"
#include "recovery/MftScan.h"
#include "recovery/ZeroSample.h"
#include "source/Source.h"

namespace resurgo {

FilesystemNTFS::FilesystemNTFS() : paths_(access()) {}
FilesystemNTFS::~FilesystemNTFS() = default;

void FilesystemNTFS::open(NTFS_GEOMETRY& geometry) {
    geometry_ = geometry;
    paths_.clear();
    volume_.openLogical(geometry_.rootPath);
    try {
        open(*volume_.source(), geometry);
    } catch (...) {
        // Neither copy of the MFT opens: leave no handle behind.
        try {
            volume_.close();
        } catch (const ErrorException&) {
        }
        throw;
    }
}

void FilesystemNTFS::open(Source& source, const NTFS_GEOMETRY& geometry) {
    geometry_ = geometry;
    paths_.clear();
    if (volume_.source() != &source) volume_.open(source);
    // Sectors per cluster count sectors of the boot sector's size; the
    // device's own sector size is kept by the volume for its reads.
    try {
        mft_ = MftReader();
        mft_.open(volume_, geometry_, geometry_.clusterToSector(geometry_.mftCluster));
    } catch (const ErrorException&) {
        mft_ = MftReader();
        mft_.open(volume_, geometry_, geometry_.clusterToSector(geometry_.mftMirrorCluster));
    }
}

void FilesystemNTFS::openVolumeOnly(Source& source, const NTFS_GEOMETRY& geometry) {
    geometry_ = geometry;
    paths_.clear();
    if (volume_.source() != &source) volume_.open(source);
    mft_ = MftReader();
}

void FilesystemNTFS::close() {
    mft_.close();
    volume_.close();
}

std::size_t FilesystemNTFS::directoryCacheSize() const { return paths_.size(); }

void FilesystemNTFS::findFiles(const SEARCH_FILTER& filter, const SEARCH_CONTEXT& context) {
    MftScan scan(access(), paths_);
    const std::size_t before = results_.size();
    scan.run(filter, context, results_);
    if (filter.verify) ZeroSample(access()).apply(results_, before, context.cancel);
    older_ = scan.olderMatches();
    less_ = scan.lessRecoverable();
    gaps_ = scan.gaps();
    // Files whose records were reused since, from $LogFile: on the volume
    // itself, not in a shadow copy's walk (filter.live), where what the copy
    // holds would be listed as a journal row of that copy.
    if (filter.live != nullptr) return;
    LogfileSearch log(*this);
    log.read();
    log.findFiles(filter, results_, older_, less_);
    logWarnings_ = log.warnings();
    loggedNames_ = log.dataNames();
}

void FilesystemNTFS::openEntry(std::uint64_t record, FileZ& entry) {
    access().openEntry(record, entry);
}

OsHandle FilesystemNTFS::openOutputFile(const std::string& path, OutputMode mode) {
    return FileOutput::create(path, mode);
}

bool FilesystemNTFS::pathOfRecord(std::uint64_t record, DIRECTORY_INFO& directory, std::string& name) {
    try {
        FileZ entry;
        openEntry(record, entry);
        name = entry.getName();
        directory = getDirectoryInfo(entry.getDirectoryReference());
    } catch (const ErrorException&) {
        return false;
    }
    return !name.empty();
}

RESTORE_RESULT FilesystemNTFS::copyFileZ(const FileZ& file, OsHandle out) {
    FileOutput sink(out);
    return restore(file, sink);
}

RESTORE_RESULT FilesystemNTFS::restore(const FileZ& file, OutputSink& out) {
    RESTORE_RESULT result;
    DataStream stream(volume_, geometry_, file);
    const std::uint64_t size = stream.size();
    if (copyBuffer_.size() < kCopyChunkBytes) copyBuffer_.assign(kCopyChunkBytes, 0);
    for (std::uint64_t position = 0; position < size;) {
        // Holes stay holes where the output can have them.
        if (const std::uint64_t hole = stream.holeAt(position, size - position); hole != 0) {
            out.skip(hole, "FilesystemNTFS::copyRunToFile");
            result.bytesWritten += hole;
            result.holeBytes += hole;
            position += hole;
            continue;
        }
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(copyBuffer_.size(), size - position));
        // Piece by piece, so that a failing read keeps what came before it.
        const std::size_t got = stream.readSome(position, copyBuffer_.data(), want);
        out.write(copyBuffer_.data(), got, "FilesystemNTFS::copyRunToFile");
        result.bytesWritten += got;
        position += got;
    }
    result.damagedUnits = stream.damagedUnits();
    result.unreadable = stream.unreadable();
    result.zeroedBytes = stream.zeroedBytes();
    // A non-resident file is cut to its real size (the output may have
    // held more bytes before).
    if (!stream.isResident()) out.setSize(size);
    // The restored file keeps its own modification and access times.
    out.setTimes(file.modificationTimeUtc(), file.accessTimeUtc());
    return result;
}

} // namespace resurgo
