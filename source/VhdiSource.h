#pragma once
// A VHD (fixed, dynamic, differencing) or VHDX image read through libvhdi;
// a differencing disk reads its parent (and the parent's parent ...) from
// the same folder. A VHDX whose log was not replayed (not closed cleanly)
// is read with the log replayed in memory (VhdxLog). Linux build only.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "source/ContainerSource.h"


namespace resurgo {

class FileSource;
class VhdxLog;

class VhdiSource : public ContainerSource {
public:
    // Longest chain of differencing disks followed.
    static constexpr int kMaxParents = 16;

    // Raises SourceError when the image or a parent is damaged or missing.
    VhdiSource(const std::string& path, ContainerFormat::Kind kind, const SourceIdentity& identity);
    ~VhdiSource() override;

    std::size_t readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) override;
    std::uint64_t size() const override { return size_; }
    // Log entries replayed in memory (0 for a clean file).
    std::size_t logEntriesReplayed() const;

    // What libvhdi reads a VHDX through when its log is replayed: the file
    // with the replayed writes laid over it.
    struct ReplayedFile {
        FileSource* file = nullptr;
        const VhdxLog* log = nullptr;
        std::uint64_t size = 0;
        std::uint64_t position = 0;
    };

private:
    std::intptr_t* openOne(const std::string& path);
    std::intptr_t* openReplayed(const std::string& path);
    void closeAll();

    std::vector<std::intptr_t*> chain_;  // the image first, then its parents
    std::unique_ptr<FileSource> logFile_;
    std::unique_ptr<VhdxLog> log_;
    ReplayedFile replayed_;
    std::intptr_t* replayedHandle_ = nullptr;  // libbfio handle over replayed_
    std::uint64_t size_ = 0;
    std::mutex mutex_;
};

} // namespace resurgo
