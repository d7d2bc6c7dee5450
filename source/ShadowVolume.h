#pragma once
// The shadow copies (previous versions) of an NTFS volume, read through
// libvshadow over one of our sources (a BfioHandle): the catalog is checked
// first (ShadowCatalog), then each store opens as a Source that reads the
// volume as it was when the copy was taken: blocks changed since come from
// the store (or a newer one), blocks unchanged from the volume, and blocks
// the copy did not keep (free when it was taken) read as zeros, as the
// store says. Linux build only; elsewhere opening raises SourceError.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "source/SHADOW_STORE.h"
#include "source/ShadowProvider.h"

namespace resurgo {

class BfioHandle;
class ShadowStoreSource;
class Source;

class ShadowVolume : public ShadowProvider {
public:
    // Reads the catalog of volume (which must outlive this object and the
    // stores opened from it). A volume without shadow copies has no
    // stores; a damaged catalog or one the library can't read raises
    // SourceError naming the damage.
    explicit ShadowVolume(Source& volume);
    ~ShadowVolume() override;
    ShadowVolume(const ShadowVolume&) = delete;
    ShadowVolume& operator=(const ShadowVolume&) = delete;

    // Whether this build reads stores (it has libvshadow).
    static bool readsStores();

    // Oldest first.
    const std::vector<SHADOW_STORE>& stores() const override { return stores_; }
    // Store number n (1 = the oldest) as a source (a ShadowStoreSource); it
    // must not outlive this object. Raises SourceError when there is no
    // such store.
    std::unique_ptr<Source> open(unsigned number) override;

private:
    void close();

    Source& volume_;
    std::unique_ptr<BfioHandle> io_;
    std::intptr_t* handle_ = nullptr;  // libvshadow_volume_t
    std::vector<SHADOW_STORE> stores_;
    std::vector<int> indexes_;         // the library's index of each store
    std::mutex mutex_;                 // one volume handle for every store's reads
};

} // namespace resurgo
