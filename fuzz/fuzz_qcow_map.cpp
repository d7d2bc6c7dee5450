// The map of what a QCOW2 image stores, from the fuzzer's input as the
// image file: header, L1 and L2 tables anywhere, of any size.
//
// Checked beyond the sanitizers: the next stored offset is never before
// the one asked for, the bytes stored never exceed what is claimed, and a
// failure raises ErrorException with a code from the table.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <vector>

#include "core/ErrorException.h"
#include "source/MemorySource.h"
#include "source/QcowMap.h"

using namespace resurgo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemorySource file(data, size);
    try {
        const QcowMap map = QcowMap::read(file);
        for (std::uint64_t at : std::initializer_list<std::uint64_t>{0, 1, 65535, 1u << 20, 1ull << 40, UINT64_MAX - 1}) {
            if (map.storedFrom(at) < at) std::abort();
        }
        if (!map.everything() && map.storedBytes() > map.claimed()) std::abort();
    } catch (const ErrorException& e) {
        if (e.code() <= 0 || e.code() > ErrorException::tableSize()) std::abort();
    }
    return 0;
}
