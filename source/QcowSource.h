#pragma once
// A QCOW image (version 1, 2 or 3) read through libqcow; an image with a
// backing file reads it (and its own backing files) from where the image
// names them, relative to the image's folder. Linux build only.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "source/ContainerSource.h"


namespace resurgo {

class QcowSource : public ContainerSource {
public:
    static constexpr int kMaxBackingFiles = 16;

    // Raises SourceError for a damaged header, an encrypted image or a
    // missing backing file.
    QcowSource(const std::string& path, const SourceIdentity& identity);
    ~QcowSource() override;

    std::size_t readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) override;
    std::uint64_t size() const override { return size_; }

private:
    std::intptr_t* openOne(const std::string& path);
    void closeAll();

    std::vector<std::intptr_t*> chain_;
    std::uint64_t size_ = 0;
    std::mutex mutex_;
};

} // namespace resurgo
