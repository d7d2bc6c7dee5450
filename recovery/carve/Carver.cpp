#include "recovery/carve/Carver.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/ErrorException.h"
#include "recovery/DeepScan.h"
#include "recovery/ProgressSink.h"
#include "recovery/carve/CarveFormats.h"
#include "recovery/carve/CarveHints.h"
#include "source/Source.h"

namespace resurgo {

namespace {
const char* const kDiagRead = "Carver::run";
} // namespace

Carver::Carver(Source& source) : source_(source), input_(source) {}
Carver::~Carver() = default;

bool Carver::measureAt(std::uint64_t offset, std::uint64_t limit, const std::uint8_t* head, std::size_t headBytes,
                       Piece& piece) {
    const CARVE_FORMAT* formats = CarveFormats::table();
    for (std::size_t i = 0; i < CarveFormats::count(); ++i) {
        const CARVE_FORMAT& f = formats[i];
        if (headBytes < f.headBytes || !f.begins(head)) continue;
        const char* subtype = f.type;
        std::uint64_t size = 0;
        input_.reset(offset, limit, head, headBytes);
        try {
            size = f.measure(input_, &subtype);
        } catch (const ErrorException&) {
            size = 0;
        }
        if (size == 0 || size > limit) continue;
        piece.offset = offset;
        piece.size = size;
        piece.type = subtype;
        piece.compressed = false;
        piece.stored = size;
        piece.hint = CarveHints::find(input_, piece.type, size);
        return true;
    }
    return measureCompressed(offset, limit, head, headBytes, piece);
}

bool Carver::measureCompressed(std::uint64_t offset, std::uint64_t limit, const std::uint8_t* head,
                               std::size_t headBytes, Piece& piece) {
    if (!CompressedRun::begins(head, headBytes)) return false;
    std::uint8_t first[CompressedRun::kChunkBytes];
    std::size_t n = CompressedRun::firstChunk(head, headBytes, first);
    if (n == 0 && headBytes < CompressedRun::kChunkBytes + 2) {
        // The chunk runs past the bytes at hand: read it whole.
        std::uint8_t chunk[CompressedRun::kChunkBytes + 2];
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, limit));
        try {
            input_.reset(offset, limit);
            input_.read(0, chunk, want);
        } catch (const ErrorException&) {
            return false;
        }
        n = CompressedRun::firstChunk(chunk, want, first);
    }
    const CARVE_FORMAT* formats = CarveFormats::table();
    bool begins = false;
    for (std::size_t i = 0; i < CarveFormats::count() && !begins; ++i) {
        begins = n >= formats[i].headBytes && formats[i].begins(first);
    }
    if (!begins) return false;
    // A later chunk of the run last decoded is served from it: a run is
    // decoded once, however many of its chunks look like a file's start.
    std::uint64_t outStart = 0;
    if (runOffset_ == ~0ULL || offset < runOffset_ || !run_.startsChunk(offset - runOffset_, outStart)) {
        run_.decode(source_, offset, limit);
        runOffset_ = offset;
        outStart = 0;
    }
    const std::vector<std::uint8_t>& bytes = run_.decoded();
    const std::uint8_t* view = bytes.data() + outStart;
    const std::size_t viewBytes = bytes.size() - static_cast<std::size_t>(outStart);
    for (std::size_t i = 0; i < CarveFormats::count(); ++i) {
        const CARVE_FORMAT& f = formats[i];
        if (viewBytes < f.headBytes || !f.begins(view)) continue;
        const char* subtype = f.type;
        std::uint64_t size = 0;
        input_.reset(offset, viewBytes, view, viewBytes);
        try {
            size = f.measure(input_, &subtype);
        } catch (const ErrorException&) {
            size = 0;
        }
        if (size == 0 || size > viewBytes) continue;
        piece.offset = offset;
        piece.size = size;
        piece.type = subtype;
        piece.compressed = true;
        piece.stored = run_.stored(outStart + size) - (offset - runOffset_);
        piece.hint = CarveHints::find(input_, piece.type, size);
        return true;
    }
    return false;
}

bool Carver::measureAt(std::uint64_t offset, std::uint64_t limit, Piece& piece) {
    std::uint8_t head[CarveFormats::kHeadBytes] = {};
    input_.reset(offset, limit);
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof head, limit));
    try {
        input_.read(0, head, n);
    } catch (const ErrorException&) {
        return false;
    }
    return measureAt(offset, limit, head, n, piece);
}

bool Carver::scanRange(const Range& range, std::uint64_t align, std::uint64_t alignBase, std::uint64_t total,
                       ProgressSink* progress, const std::atomic<std::uint8_t>* cancel, Found& found) {
    // The first multiple of align at or after the range's start.
    std::uint64_t pos = range.begin <= alignBase ? alignBase : range.begin + (align - (range.begin - alignBase) % align) % align;
    DeepScan::Found names;
    while (pos < range.end) {
        if (cancel != nullptr && cancel->load() == 1) return false;
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockBytes, range.end - pos));
        std::size_t got = 0;
        try {
            got = source_.readAt(block_.data(), want, pos, kDiagRead);
        } catch (const ErrorException&) {
            got = 0;
        }
        if (got == 0) {
            // An unreadable block: go on after it.
            pos += (want + align - 1) / align * align;
            continue;
        }
        std::uint64_t next = pos + (got + align - 1) / align * align;
        for (std::size_t at = 0; at < got; at += static_cast<std::size_t>(align)) {
            const std::uint8_t* head = block_.data() + at;
            // The rest of the block is the candidate's first bytes.
            const std::size_t headBytes = got - at;
            if (headBytes >= 4 && std::memcmp(head, "INDX", 4) == 0) {
                DeepScan::examine(head, got - at, pos + at, source_.size(), names);
                continue;
            }
            Piece piece;
            if (!measureAt(pos + at, range.end - (pos + at), head, headBytes, piece)) continue;
            found.pieces.push_back(piece);
            const std::uint64_t after = piece.offset + (piece.stored + align - 1) / align * align;
            if (after >= pos + got) {
                next = after;
                break;
            }
            at = static_cast<std::size_t>(after - pos) - static_cast<std::size_t>(align);
        }
        found.bytesScanned += std::min<std::uint64_t>(next, range.end) - pos;
        pos = next;
        if (progress != nullptr && total != 0) {
            progress->setPosition(static_cast<int>(std::min<std::uint64_t>(100, found.bytesScanned / (total / 100 + 1))));
        }
    }
    for (INDEX_NAME& n : names.indexNames) found.indexNames.push_back(std::move(n));
    for (INDEX_NAME& n : names.slackNames) found.slackNames.push_back(std::move(n));
    return true;
}

Carver::Found Carver::run(const std::vector<Range>& ranges, std::uint64_t align, std::uint64_t alignBase,
                          ProgressSink* progress, const std::atomic<std::uint8_t>* cancel) {
    Found found;
    if (align == 0) align = 512;
    block_.resize(kBlockBytes);
    std::uint64_t total = 0;
    for (const Range& r : ranges) total += r.end > r.begin ? r.end - r.begin : 0;
    for (const Range& r : ranges) {
        if (r.end <= r.begin) continue;
        if (!scanRange(r, align, alignBase, total, progress, cancel, found)) {
            found.cancelled = true;
            break;
        }
    }
    if (progress != nullptr && !found.cancelled) progress->setPosition(100);
    return found;
}

} // namespace resurgo
