#pragma once
// A VHD (fixed, dynamic, differencing) or VHDX image read through libvhdi;
// a differencing disk reads its parent (and the parent's parent ...) from
// the same folder. Linux build only.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "source/ContainerSource.h"


namespace resurgo {

class VhdiSource : public ContainerSource {
public:
    // Longest chain of differencing disks followed.
    static constexpr int kMaxParents = 16;

    // Raises SourceError when the image or a parent is damaged or missing.
    VhdiSource(const std::string& path, ContainerFormat::Kind kind, const SourceIdentity& identity);
    ~VhdiSource() override;

    std::size_t readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) override;
    std::uint64_t size() const override { return size_; }

private:
    std::intptr_t* openOne(const std::string& path);
    void closeAll();

    std::vector<std::intptr_t*> chain_;  // the image first, then its parents
    std::uint64_t size_ = 0;
    std::mutex mutex_;
};

} // namespace resurgo
