#include "ntfs/RUN_LIST.h"

#include "core/ErrorException.h"

namespace resurgo {

namespace {

const char* const kOrdinaryFieldDiag = "RUN_LIST::decompress_run <Unknown field type>";
const char* const kCompressedFieldDiag = "RUN_LIST::decompress_run_compressed <Unknown field type>";
const char* const kSparseDiag = "RUN_LIST::decompress_run <Unwanted zero cluster number in noncompressed run>";

// Reads the header byte and the length field; returns the offset size O.
unsigned readHeaderAndLength(const std::uint8_t*& cursor, const std::uint8_t* end, std::uint32_t& length,
                             const char* diag) {
    if (cursor >= end) throw ErrorException(kErrRunlistField, diag);
    std::uint8_t header = *cursor++;
    unsigned l = header & 0x0F;
    unsigned o = header >> 4;
    if (l < 1 || l > 4) throw ErrorException(kErrRunlistField, diag);
    if (static_cast<std::size_t>(end - cursor) < l) throw ErrorException(kErrRunlistField, diag);
    std::uint32_t v = 0;
    for (unsigned i = 0; i < l; ++i) v |= static_cast<std::uint32_t>(cursor[i]) << (8 * i);
    cursor += l;
    length = v;
    return o;
}

std::int64_t readSignedOffset(const std::uint8_t*& cursor, const std::uint8_t* end, unsigned o, const char* diag) {
    if (o > 8) throw ErrorException(kErrRunlistField, diag);
    if (static_cast<std::size_t>(end - cursor) < o) throw ErrorException(kErrRunlistField, diag);
    std::uint64_t v = 0;
    for (unsigned i = 0; i < o; ++i) v |= static_cast<std::uint64_t>(cursor[i]) << (8 * i);
    if (o < 8 && (cursor[o - 1] & 0x80)) v |= ~0ULL << (8 * o);
    cursor += o;
    return static_cast<std::int64_t>(v);
}

} // namespace

RUN_LIST::RUN_LIST() = default;
RUN_LIST::~RUN_LIST() = default;

void RUN_LIST::decompress_run(const std::uint8_t*& cursor, const std::uint8_t* end, std::uint32_t& length,
                              std::int64_t& runningLcn, bool allowSparse, bool& sparse) {
    unsigned o = readHeaderAndLength(cursor, end, length, kOrdinaryFieldDiag);
    if (o == 0) {
        if (!allowSparse) throw ErrorException(kErrRunlistSparse, kSparseDiag);
        sparse = true;
        return;
    }
    sparse = false;
    std::int64_t off = readSignedOffset(cursor, end, o, kOrdinaryFieldDiag);
    runningLcn = static_cast<std::int64_t>(static_cast<std::uint64_t>(runningLcn) + static_cast<std::uint64_t>(off));
}

void RUN_LIST::decompress_run_compressed(const std::uint8_t*& cursor, const std::uint8_t* end, std::uint32_t& length,
                                         std::int64_t& offset) {
    unsigned o = readHeaderAndLength(cursor, end, length, kCompressedFieldDiag);
    offset = o == 0 ? 0 : readSignedOffset(cursor, end, o, kCompressedFieldDiag);
}

RUN_LIST::RUN_LIST(const std::uint8_t* begin, const std::uint8_t* end, std::int64_t startVcn, std::int64_t lastVcn,
                   Kind kind) {
    if (lastVcn < startVcn) return;  // no clusters
    // remaining counts clusters still to cover, minus one
    std::uint64_t remaining = static_cast<std::uint64_t>(lastVcn) - static_cast<std::uint64_t>(startVcn);
    std::uint64_t covered = 0;
    const std::uint8_t* cursor = begin;
    std::int64_t running = 0;
    for (;;) {
        RUN_ENTRY e;
        if (kind == Kind::Compressed) {
            std::int64_t off = 0;
            decompress_run_compressed(cursor, end, e.length, off);
            e.cluster = off;
            e.sparse = off == 0;
            if (!e.sparse) running = static_cast<std::int64_t>(static_cast<std::uint64_t>(running) + static_cast<std::uint64_t>(off));
            e.lcn = e.sparse ? 0 : running;
        } else {
            bool sparse = false;
            decompress_run(cursor, end, e.length, running, kind == Kind::OrdinaryAllowSparse, sparse);
            e.sparse = sparse;
            e.cluster = sparse ? 0 : running;
            e.lcn = e.cluster;
        }
        entries_.push_back(e);
        covered += e.length;
        if (covered > remaining) break;
    }
}

std::uint64_t RUN_LIST::totalClusters() const {
    std::uint64_t n = 0;
    for (const auto& e : entries_) n += e.length;
    return n;
}

} // namespace resurgo
