#pragma once
// An EWF image (E01, E02, ...; the first segment given) read through
// libewf. Linux build only.

#include <cstdint>
#include <mutex>
#include <string>

#include "source/ContainerSource.h"


namespace resurgo {

class EwfSource : public ContainerSource {
public:
    // Finds the other segment files beside path by the EWF naming scheme
    // (E01 -> E02 ... EAA ...); raises SourceError when one is missing or
    // a segment is damaged.
    EwfSource(const std::string& path, const SourceIdentity& identity);
    ~EwfSource() override;

    std::size_t readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) override;
    std::uint64_t size() const override { return size_; }

private:
    std::intptr_t* handle_ = nullptr;
    std::uint64_t size_ = 0;
    std::mutex mutex_;
};

} // namespace resurgo
