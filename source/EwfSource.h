#pragma once
// An EWF image (E01, E02, ...; the first segment given) read through
// libewf. Reading inflates the image's chunks: with several threads reading
// (the search does), each reads through a handle of its own, opened when
// the others are busy, up to one per processor. Linux build only.

#include <array>
#include <atomic>
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

    // Most handles opened on the image.
    static constexpr int kMaxHandles = 4;

private:
    struct Reader {
        std::intptr_t* handle = nullptr;
        std::mutex mutex;
    };
    std::intptr_t* openHandle(std::string& why);
    // Which segment makes the set incomplete, in words ("its segment file
    // x.E02 is cut short").
    std::string missingSegment() const;
    std::size_t readWith(std::intptr_t* handle, void* buffer, std::size_t length, std::uint64_t offset,
                         const char* diagnostic);

    std::array<Reader, kMaxHandles> readers_;
    std::atomic<int> open_{0};
    int maxHandles_ = 1;
    std::mutex opening_;
    std::uint64_t size_ = 0;
};

} // namespace resurgo
