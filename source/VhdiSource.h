#pragma once
// A VHD (fixed, dynamic, differencing) or VHDX image read through libvhdi;
// a differencing disk reads its parent (and the parent's parent ...) from
// the same folder, opened here as a regular file and handed to libvhdi. A
// VHDX whose log was not replayed (not closed cleanly) is read with the
// log replayed in memory (VhdxLog). Linux build only.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "source/ContainerSource.h"

namespace resurgo {

class BfioHandle;
class FileSource;
class VhdxLog;

class VhdiSource : public ContainerSource {
public:
    // Longest chain of differencing disks followed.
    static constexpr int kMaxParents = 16;

    // Raises SourceError when the image or a parent is damaged or missing.
    // progress hears how far the reading of a large VHDX log is (0-100).
    VhdiSource(const std::string& path, ContainerFormat::Kind kind, const SourceIdentity& identity,
               const std::function<void(int)>& progress = {});
    ~VhdiSource() override;

    std::size_t readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) override;
    std::uint64_t size() const override { return size_; }
    // Log entries replayed in memory (0 for a clean file).
    std::size_t logEntriesReplayed() const;

private:
    struct Link {
        std::unique_ptr<FileSource> file;
        std::unique_ptr<VhdxLog> log;  // replayed over the file (VHDX only)
        std::unique_ptr<BfioHandle> io;
        std::intptr_t* vhdi = nullptr;  // libvhdi_file_t
    };

    void openLink(const std::string& path, std::unique_ptr<FileSource> file, const std::function<void(int)>& progress);
    void closeAll();

    std::vector<Link> chain_;  // the image first, then its parents
    std::uint64_t size_ = 0;
    std::mutex mutex_;
};

} // namespace resurgo
