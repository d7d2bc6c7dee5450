// The deep search over a source made of the fuzzer's bytes alone: the scan
// for records and index blocks, the geometry inferred from them (there is
// no boot sector), the paths rebuilt from whatever parents the records
// name, and the restore of every result from where it was found. The
// destination only counts bytes and reports a full disk past 16 MiB.
//
// Checked beyond the sanitizers: every failure is an ErrorException with a
// code from the table.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "FuzzPlatform.h"
#include "core/ErrorException.h"
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemorySource source(data, size, 512);
    SearchJob job;
    job.useSource(&source);
    job.options.deep = true;
    job.days = 1000000;
    job.run(nullptr, nullptr);
    if (job.failure()) checkCode(*job.failure());
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
