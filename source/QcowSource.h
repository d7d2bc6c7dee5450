#pragma once
// A QCOW image (version 1, 2 or 3) read through libqcow; an image with a
// backing file reads it (and its own backing files) from where the image
// names them, relative to the image's folder and never outside it. Every
// file is opened here as a regular file and handed to libqcow. Linux build
// only.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "source/ContainerSource.h"
#include "source/QcowMap.h"

namespace resurgo {

class BfioHandle;
class FileSource;

class QcowSource : public ContainerSource {
public:
    static constexpr int kMaxBackingFiles = 16;

    // Raises SourceError for a damaged header, an encrypted image or a
    // missing, unsafe (absolute, climbing) or non-file backing name.
    QcowSource(const std::string& path, const SourceIdentity& identity);
    ~QcowSource() override;

    std::size_t readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) override;
    std::uint64_t size() const override { return size_; }
    // Skips the clusters no file of the chain stores (mapped on first use).
    std::uint64_t storedFrom(std::uint64_t offset) override;
    std::uint64_t storedBytes() override;
    // What the chain stores of the disk (mapped on first use).
    const QcowMap& map();

private:
    struct Link {
        std::unique_ptr<FileSource> file;
        std::unique_ptr<BfioHandle> io;
        std::intptr_t* qcow = nullptr;  // libqcow_file_t
    };

    void openLink(const std::string& path, std::unique_ptr<FileSource> file);
    void closeAll();

    std::vector<Link> chain_;  // the image first, then its backing files
    std::uint64_t size_ = 0;
    std::optional<QcowMap> map_;
    std::mutex mutex_;
};

} // namespace resurgo
