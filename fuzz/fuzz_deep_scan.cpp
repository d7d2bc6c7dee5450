// The deep search over a source made of the fuzzer's bytes alone: the scan
// for records and index blocks (their live entries and what is left in
// their slack past the in-use length), the geometry inferred from them (there is
// no boot sector), the paths rebuilt from whatever parents the records
// name, and the restore of every result from where it was found. The
// destination only counts bytes and reports a full disk past 16 MiB.
//
// Checked beyond the sanitizers: every failure is an ErrorException with a
// code from the table; a geometry that is not confirmed marks every result
// whose data lies in clusters; and an inference is pulled by nothing but
// the bytes: the same bytes further into the source confirm the same
// geometry, moved with them (a stray boot-sector-shaped block or index
// blocks at shifted positions can make it a guess, never another origin).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "FuzzPlatform.h"
#include "core/ErrorException.h"
#include "recovery/DeepSearch.h"
#include "recovery/OutputSink.h"
#include "recovery/RestoreJob.h"
#include "recovery/SearchJob.h"
#include "source/MemorySource.h"

using namespace resurgo;

namespace {

class CountingSink : public OutputSink {
public:
    void write(const std::uint8_t*, std::size_t length, const char* diagnostic) override {
        written += length;
        if (written > (16u << 20)) throw ErrorException(kErrWriteOutput, diagnostic);
    }
    void setSize(std::uint64_t) override {}
    void setTimes(std::uint64_t, std::uint64_t) override {}
    std::uint64_t written = 0;
};

void checkCode(const ErrorException& e) {
    if (e.code() <= 0 || e.code() > ErrorException::tableSize()) std::abort();
}

// Bytes put before the fuzzer's in the second run.
constexpr std::size_t kShift = 512;

// The geometry a deep search of bytes infers, or null when it is not an
// inference the evidence confirms.
const DeepGeometry* confirmedInference(SearchJob& job, Source& source) {
    job.useSource(&source);
    job.options.deep = true;
    job.days = 1000000;
    job.run(nullptr, nullptr);
    const DeepSearch* deep = job.deepSearch();
    if (deep == nullptr || !deep->geometry().confirmed || deep->geometry().from != DeepGeometry::From::Inferred) {
        return nullptr;
    }
    return &deep->geometry();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemorySource source(data, size, 512);
    SearchJob job;
    job.useSource(&source);
    job.options.deep = true;
    job.days = 1000000;
    job.run(nullptr, nullptr);
    if (job.failure()) checkCode(*job.failure());
    const DeepSearch* deep = job.deepSearch();
    if (deep != nullptr && !deep->geometry().confirmed) {
        for (const FOUND_FILE& f : job.filesystem.results()) {
            if (f.size > 0 && !f.guessedGeometry) {
                // Resident data is read from the record alone; anything else
                // through the guess must say so.
                bool resident = false;
                RestoreJob probe(job);
                if (probe.open() == RestoreJob::Status::Ready && probe.selectAtOffset(f.offset) == RestoreJob::Status::Ready) {
                    resident = probe.entry().isResident();
                }
                if (!resident) std::abort();
            }
        }
    }
    {
        // The same bytes kShift further in: a confirmed inference there
        // that starts past the shift is this one, moved.
        std::vector<std::uint8_t> shifted(kShift + size, 0);
        std::copy(data, data + size, shifted.begin() + kShift);
        MemorySource moved(shifted.data(), shifted.size(), 512);
        SearchJob again;
        const DeepGeometry* there = confirmedInference(again, moved);
        if (there != nullptr && there->volumeStart >= kShift) {
            const bool inferred = deep != nullptr && deep->geometry().confirmed &&
                                  deep->geometry().from == DeepGeometry::From::Inferred;
            const DeepGeometry* here = inferred ? &deep->geometry() : nullptr;
            if (here == nullptr || here->volumeStart + kShift != there->volumeStart ||
                here->geometry.clusterBytes() != there->geometry.clusterBytes()) {
                std::abort();
            }
        }
    }
    RestoreJob restore(job);
    if (restore.open() != RestoreJob::Status::Ready) return 0;
    for (const FOUND_FILE& f : job.filesystem.results()) {
        if (restore.selectAtOffset(f.offset) != RestoreJob::Status::Ready) {
            if (restore.failure()) checkCode(*restore.failure());
            continue;
        }
        CountingSink sink;
        restore.restoreTo(sink);
        if (restore.failure()) checkCode(*restore.failure());
    }
    return 0;
}
