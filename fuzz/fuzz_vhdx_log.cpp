// A VHDX log from the fuzzer's input: the input is the log region of a
// small VHDX file whose current header points at it. Every 4 KiB slot that
// starts an entry gets its checksum made right (in slot order), so that the
// fuzzer reaches the descriptors, the sequences and the replay rather than
// stopping at checksums. The replay is then laid over a read of the file.
//
// Checked beyond the sanitizers: a failure is a SourceError or an
// ErrorException with a code from the table; an empty log replays nothing.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/ErrorException.h"
#include "source/MemorySource.h"
#include "source/VhdxLog.h"

using namespace resurgo;

namespace {

constexpr std::size_t kSector = VhdxLog::kSector;
constexpr std::size_t kLogOffset = 192 << 10;
constexpr std::size_t kMaxLog = 1 << 20;
constexpr std::uint8_t kGuid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t logBytes = std::min(size, kMaxLog) / kSector * kSector;
    if (logBytes == 0) return 0;
    std::vector<std::uint8_t> file(kLogOffset + logBytes, 0);
    std::uint8_t* log = file.data() + kLogOffset;
    std::memcpy(log, data, logBytes);

    // The current header at 64 KiB.
    std::uint8_t* head = file.data() + (64 << 10);
    std::memcpy(head, "head", 4);
    put64(head + 8, 1);
    std::memcpy(head + 48, kGuid, 16);
    put32(head + 68, static_cast<std::uint32_t>(logBytes));
    put64(head + 72, kLogOffset);
    put32(head + 4, VhdxLog::crc32c(head, kSector));

    // Entry checksums made right, over the entry as it wraps around the log.
    std::vector<std::uint8_t> entry;
    for (std::size_t at = 0; at < logBytes; at += kSector) {
        std::uint8_t* p = log + at;
        if (std::memcmp(p, "loge", 4) != 0) continue;
        const std::uint32_t length = get32(p + 8);
        if (length == 0 || length % kSector != 0 || length > logBytes) continue;
        entry.resize(length);
        for (std::size_t i = 0; i < length; i += kSector) std::memcpy(entry.data() + i, log + (at + i) % logBytes, kSector);
        std::memset(entry.data() + 4, 0, 4);
        put32(p + 4, VhdxLog::crc32c(entry.data(), entry.size()));
    }

    MemorySource source(std::move(file));
    try {
        const VhdxLog replay(source);
        std::vector<std::uint8_t> buffer(3 * kSector + 7, 0);
        replay.apply(buffer.data(), buffer.size(), kSector - 3);
        if (replay.empty() && (replay.entriesReplayed() != 0 && replay.fileSize(0) != 0)) std::abort();
    } catch (const ErrorException& e) {
        if (e.code() <= 0 || e.code() > ErrorException::tableSize()) std::abort();
    }
    return 0;
}
