#pragma once
// A VMDK disk read through libvmdk: a monolithic sparse or stream-optimized
// file (its descriptor inside), or a text descriptor naming flat or sparse
// extent files beside it, each opened here as a regular file and handed to
// libvmdk. Linux build only.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "source/ContainerSource.h"


namespace resurgo {

class BfioHandle;
class FileSource;

class VmdkSource : public ContainerSource {
public:
    // Raises SourceError when the descriptor is damaged or an extent file
    // is missing.
    VmdkSource(const std::string& path, const SourceIdentity& identity);
    ~VmdkSource() override;

    std::size_t readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) override;
    std::uint64_t size() const override { return size_; }

private:
    void closeAll();

    // What the pool's handles read: they must outlive the pool.
    std::vector<std::unique_ptr<FileSource>> extentFiles_;
    std::vector<std::unique_ptr<BfioHandle>> extentIo_;
    std::intptr_t* handle_ = nullptr;
    std::intptr_t* pool_ = nullptr;
    bool open_ = false;
    std::uint64_t size_ = 0;
    std::mutex mutex_;
};

} // namespace resurgo
