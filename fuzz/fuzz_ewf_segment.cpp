// How an EWF segment file ends, from the fuzzer's input as the file: a
// chain of section descriptors pointing anywhere.
//
// Checked beyond the sanitizers: the answer comes without an exception.

#include <cstddef>
#include <cstdint>

#include "source/EwfSegment.h"
#include "source/MemorySource.h"

using namespace resurgo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemorySource file(data, size);
    (void)EwfSegment::read(file);
    return 0;
}
