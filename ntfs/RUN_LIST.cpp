#include "ntfs/RUN_LIST.h"

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

// Adds a run's offset to the running LCN; true when the sum overflows (the
// running LCN then holds the wrapped value).
bool addOverflows(std::int64_t& runningLcn, std::int64_t offset) {
    return __builtin_add_overflow(runningLcn, offset, &runningLcn);
}

// A run on disk lies inside the volume: at or after cluster 0 and, when the
// volume's size is known, ending at or before its last cluster.
bool insideVolume(std::int64_t lcn, std::uint32_t length, std::uint64_t totalClusters) {
    if (lcn < 0) return false;
    return totalClusters == 0 || static_cast<std::uint64_t>(lcn) + length <= totalClusters;
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
    if (addOverflows(runningLcn, off)) throw ErrorException(kErrRunlistField, kOrdinaryFieldDiag);
}

void RUN_LIST::decompress_run_compressed(const std::uint8_t*& cursor, const std::uint8_t* end, std::uint32_t& length,
                                         std::int64_t& offset) {
    unsigned o = readHeaderAndLength(cursor, end, length, kCompressedFieldDiag);
    offset = o == 0 ? 0 : readSignedOffset(cursor, end, o, kCompressedFieldDiag);
}

RUN_LIST::RUN_LIST(const std::uint8_t* begin, const std::uint8_t* end, std::int64_t startVcn, std::int64_t lastVcn,
                   Kind kind)
    : RUN_LIST(begin, end, startVcn, lastVcn, kind, Context()) {}

RUN_LIST::RUN_LIST(const std::uint8_t* begin, const std::uint8_t* end, std::int64_t startVcn, std::int64_t lastVcn,
                   Kind kind, const Context& context) {
    if (lastVcn < startVcn) return;  // no clusters
    const char* const diag = kind == Kind::Compressed ? kCompressedFieldDiag : kOrdinaryFieldDiag;
    // remaining counts clusters still to cover, minus one
    std::uint64_t remaining = static_cast<std::uint64_t>(lastVcn) - static_cast<std::uint64_t>(startVcn);
    std::uint64_t covered = 0;
    const std::uint8_t* cursor = begin;
    std::int64_t running = 0;
    for (;;) {
        const std::uint64_t at = context.recordOffset + static_cast<std::uint64_t>(cursor - begin);
        RUN_ENTRY e;
        std::int64_t off = 0;
        bool outside = false;
        try {
            const unsigned o = readHeaderAndLength(cursor, end, e.length, diag);
            if (o == 0 && kind == Kind::Ordinary) throw ErrorException(kErrRunlistSparse, kSparseDiag);
            if (o != 0) off = readSignedOffset(cursor, end, o, diag);
            // In a compressed list an offset of 0 marks a sparse run too.
            e.sparse = o == 0 || (kind == Kind::Compressed && off == 0);
        } catch (ErrorException& error) {
            if (context.recordNumber) error.setRecordNumber(*context.recordNumber);
            error.setByteOffset(at);
            throw;
        }
        if (!e.sparse) {
            outside = addOverflows(running, off);
            outside = !insideVolume(running, e.length, context.totalClusters) || outside;
        }
        e.lcn = e.sparse ? 0 : running;
        e.cluster = kind == Kind::Compressed ? off : e.lcn;
        if ((e.length == 0 || outside) && !fault_) {
            fault_ = Fault{outside ? kOutsideDiagnostic : diag, at, context.recordNumber};
        }
        entries_.push_back(e);
        covered += e.length;
        if (covered > remaining) break;
    }
}

std::uint64_t RUN_LIST::totalClusters() const {
    std::uint64_t n = 0;
    for (const auto& e : entries()) n += e.length;
    return n;
}

ErrorException RUN_LIST::faultError() const {
    ErrorException e(kErrRunlistField, fault_->diagnostic);
    if (fault_->recordNumber) e.setRecordNumber(*fault_->recordNumber);
    e.setByteOffset(fault_->recordOffset);
    return e;
}

std::optional<ErrorException> RUN_LIST::error() const {
    if (!fault_) return std::nullopt;
    return faultError();
}

void RUN_LIST::raiseFault() const { throw faultError(); }

} // namespace resurgo
