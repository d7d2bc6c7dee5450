#pragma once
// A VMDK disk read through libvmdk: a monolithic sparse or stream-optimized
// file (its descriptor inside), or a text descriptor naming flat or sparse
// extent files beside it. Linux build only.

#include <cstdint>
#include <mutex>
#include <string>

#include "source/ContainerSource.h"


namespace resurgo {

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

    std::intptr_t* handle_ = nullptr;
    std::intptr_t* pool_ = nullptr;
    bool open_ = false;
    std::uint64_t size_ = 0;
    std::mutex mutex_;
};

} // namespace resurgo
