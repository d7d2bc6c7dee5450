// The shadow-copy catalog of a volume, from the fuzzer's input as the
// volume: the header at 0x1E00, catalog and store blocks anywhere. What
// the catalog check passes goes on to the store reader (libvshadow), and
// each store it opens is read at a few offsets, as a search would.
//
// Checked beyond the sanitizers: a failure raises ErrorException with a
// code from the table, and nothing reads past the input.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <vector>

#include "core/ErrorException.h"
#include "source/MemorySource.h"
#include "source/ShadowCatalog.h"
#include "source/ShadowStoreSource.h"
#include "source/ShadowVolume.h"

using namespace resurgo;

namespace {

void checkCode(const ErrorException& e) {
    if (e.code() <= 0 || e.code() > ErrorException::tableSize()) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemorySource volume(data, size);
    try {
        if (!ShadowCatalog::read(volume).present()) return 0;
        ShadowVolume shadows(volume);
        std::vector<std::uint8_t> buffer(4096);
        for (const SHADOW_STORE& s : shadows.stores()) {
            std::unique_ptr<Source> store = shadows.open(s.number);
            for (std::uint64_t at : std::initializer_list<std::uint64_t>{0, 0x1E00, 0x4000, s.volumeSize / 2}) {
                try {
                    if (store->readAt(buffer.data(), buffer.size(), at, "fuzz") > buffer.size()) std::abort();
                } catch (const ErrorException& e) {
                    checkCode(e);
                }
            }
        }
    } catch (const ErrorException& e) {
        checkCode(e);
    }
    return 0;
}
