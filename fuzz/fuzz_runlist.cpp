// A run list through both decoders (ordinary, ordinary with sparse runs,
// compressed), and the single-run decoders step by step. The first eight
// bytes give the last VCN the list must cover; their low bits also bound the
// volume the runs must lie in.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/ErrorException.h"
#include "ntfs/RUN_LIST.h"

using namespace resurgo;

namespace {

void checkCode(const ErrorException& e) {
    if (e.code() != kErrRunlistField && e.code() != kErrRunlistSparse) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return 0;
    std::uint64_t raw = 0;
    for (int i = 0; i < 8; ++i) raw |= static_cast<std::uint64_t>(data[i]) << (8 * i);
    const std::int64_t lastVcn = static_cast<std::int64_t>(raw);
    const std::int64_t startVcn = (data[0] & 1) ? 0 : lastVcn / 2;
    const std::uint8_t* begin = data + 8;
    const std::uint8_t* end = data + size;

    RUN_LIST::Context context;
    context.totalClusters = (data[1] & 1) ? raw & 0xFFFFF : 0;
    context.recordNumber = 7;
    context.recordOffset = 0x40;
    for (auto kind : {RUN_LIST::Kind::Ordinary, RUN_LIST::Kind::OrdinaryAllowSparse, RUN_LIST::Kind::Compressed}) {
        try {
            RUN_LIST list(begin, end, startVcn, lastVcn, kind, context);
            if (list.faulty()) {
                // The fault names the record and a byte inside the list.
                const auto e = list.error();
                if (e->code() != kErrRunlistField || e->recordNumber() != 7u || !e->byteOffset() ||
                    *e->byteOffset() < 0x40 || *e->byteOffset() >= 0x40 + static_cast<std::uint64_t>(end - begin)) {
                    std::abort();
                }
                continue;
            }
            for (const auto& r : list) {
                if (r.length == 0) std::abort();
                if (r.sparse) continue;
                const std::uint64_t end = static_cast<std::uint64_t>(r.lcn) + r.length;
                if (r.lcn < 0 || (context.totalClusters != 0 && end > context.totalClusters)) std::abort();
            }
            // A list that decoded covers what was asked (or nothing).
            if (lastVcn >= startVcn &&
                list.totalClusters() < static_cast<std::uint64_t>(lastVcn) - static_cast<std::uint64_t>(startVcn) + 1) {
                std::abort();
            }
            if (list.size() > static_cast<std::size_t>(end - begin)) std::abort();
        } catch (const ErrorException& e) {
            checkCode(e);
        }
    }

    const std::uint8_t* cursor = begin;
    std::int64_t running = 0;
    try {
        while (cursor < end) {
            std::uint32_t length = 0;
            bool sparse = false;
            const std::uint8_t* before = cursor;
            RUN_LIST::decompress_run(cursor, end, length, running, true, sparse);
            if (cursor <= before || cursor > end) std::abort();
        }
    } catch (const ErrorException& e) {
        checkCode(e);
    }
    cursor = begin;
    try {
        while (cursor < end) {
            std::uint32_t length = 0;
            std::int64_t offset = 0;
            const std::uint8_t* before = cursor;
            RUN_LIST::decompress_run_compressed(cursor, end, length, offset);
            if (cursor <= before || cursor > end) std::abort();
        }
    } catch (const ErrorException& e) {
        checkCode(e);
    }
    return 0;
}
