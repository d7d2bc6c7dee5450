#pragma once
// One shadow copy read as a volume: what ShadowVolume::open returns. Reads
// go through libvshadow, serialised on the shadow volume's lock (the
// library keeps one handle on the volume for all its stores).

#include <cstdint>
#include <mutex>

#include "source/SHADOW_STORE.h"
#include "source/Source.h"

namespace resurgo {

class ShadowStoreSource : public Source {
public:
    // store is a libvshadow_store_t, freed by this object; volume is the
    // source the copy lies on (its identity is this source's).
    ShadowStoreSource(std::intptr_t* store, const SHADOW_STORE& info, Source& volume, std::mutex& lock);
    ~ShadowStoreSource() override;
    ShadowStoreSource(const ShadowStoreSource&) = delete;
    ShadowStoreSource& operator=(const ShadowStoreSource&) = delete;

    std::size_t readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) override;
    std::uint64_t size() const override { return info_.volumeSize; }
    std::uint32_t sectorSize() const override { return 0; }
    SourceIdentity identity() const override;
    const SHADOW_STORE& info() const { return info_; }

private:
    std::intptr_t* store_;
    SHADOW_STORE info_;
    Source& volume_;
    std::mutex& lock_;
};

} // namespace resurgo
