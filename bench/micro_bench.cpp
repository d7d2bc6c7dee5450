// Micro-benchmarks of the search's and the restore's hot paths (Google
// Benchmark), on records and a compression unit of the basic fixture image:
//   MFT_RECORD::parse of a freed record with resident data, of a record
//   with a long run list, WildcardMatcher::match, Lznt1::decompress of one
//   64 KiB unit of compressed text; BitLockerCipher::decrypt of 1 MiB of
//   sectors in each cipher (compare with `openssl speed -evp aes-128-xts`).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/ErrorException.h"
#include "file/FileZ.h"
#include "file/MftReader.h"
#include "file/WildcardMatcher.h"
#include "ntfs/MFT_RECORD.h"
#include "recovery/Lznt1.h"
#include "recovery/SearchJob.h"
#include "source/BitLockerCipher.h"
#include "source/BitLockerMetadata.h"

using namespace resurgo;

namespace {

// Record numbers in tests/fixtures/basic.img (see basic.facts.json).
constexpr std::uint64_t kRecordSmallDeleted = 70;   // small.txt: resident data, freed
constexpr std::uint64_t kRecordManyRuns = 85;       // many_fragments_kept.bin: base record full of runs
constexpr std::uint64_t kRecordCompressedText = 143;  // comp_text.txt: LZNT1 units

std::string fixturePath() {
    const char* env = std::getenv("RESURGO_BENCH_FIXTURE");
    return env != nullptr ? env : RESURGO_BENCH_FIXTURE;
}

struct Fixture {
    SearchJob job;
    bool ok = false;

    Fixture() {
        try {
            job.prepareGeometry(fixturePath());
            job.openFilesystem();
            ok = true;
        } catch (const ErrorException& e) {
            std::fprintf(stderr, "cannot open %s: %s\n", fixturePath().c_str(), e.diagnostic().c_str());
        }
    }
    std::vector<std::uint8_t> rawRecord(std::uint64_t n) {
        std::vector<std::uint8_t> bytes(job.geometry.mftRecordSize);
        job.filesystem.mftEntry().readRecords(n, 1, bytes.data());
        return bytes;
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void parseRecord(benchmark::State& state, std::uint64_t record) {
    Fixture& fx = fixture();
    if (!fx.ok) {
        state.SkipWithError("fixture image not available");
        return;
    }
    const std::vector<std::uint8_t> original = fx.rawRecord(record);
    std::vector<std::uint8_t> work(original.size());
    for (auto _ : state) {
        std::memcpy(work.data(), original.data(), original.size());  // the fixup changes the bytes
        MFT_RECORD rec;
        rec.parse(work.data(), work.size(), fx.job.geometry);
        benchmark::DoNotOptimize(rec.fileNames.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(original.size()));
}

void BM_MftRecordParse_ResidentDeleted(benchmark::State& state) { parseRecord(state, kRecordSmallDeleted); }
BENCHMARK(BM_MftRecordParse_ResidentDeleted);

void BM_MftRecordParse_ManyRuns(benchmark::State& state) { parseRecord(state, kRecordManyRuns); }
BENCHMARK(BM_MftRecordParse_ManyRuns);

// The search's per-record work on a freed record: open from bytes (parse,
// checks), name, times.
void BM_FileZOpenFromBytes_ResidentDeleted(benchmark::State& state) {
    Fixture& fx = fixture();
    if (!fx.ok) {
        state.SkipWithError("fixture image not available");
        return;
    }
    const std::vector<std::uint8_t> original = fx.rawRecord(kRecordSmallDeleted);
    std::vector<std::uint8_t> work(original.size());
    MftReader& mft = fx.job.filesystem.mftEntry();
    const std::uint64_t sector = mft.getSectorOfRecord(kRecordSmallDeleted);
    for (auto _ : state) {
        std::memcpy(work.data(), original.data(), original.size());
        FileZ f;
        f.openFromBytes(work.data(), work.size(), fx.job.filesystem.volume(), fx.job.geometry, &mft, sector,
                        kRecordSmallDeleted);
        std::string name = f.getName();
        benchmark::DoNotOptimize(name.data());
        benchmark::DoNotOptimize(f.getLastModificationTime());
    }
}
BENCHMARK(BM_FileZOpenFromBytes_ResidentDeleted);

void BM_MatchWildcard(benchmark::State& state, const char* pattern, const char* name) {
    const std::u32string folded = WildcardMatcher::foldPattern(pattern);
    const std::string n = name;
    bool matched = false;
    for (auto _ : state) {
        matched = WildcardMatcher::match(folded, n);
        benchmark::DoNotOptimize(matched);
    }
    state.counters["matched"] = matched ? 1 : 0;
}
BENCHMARK_CAPTURE(BM_MatchWildcard, star, "*", "file012345_ffffff.dat");
BENCHMARK_CAPTURE(BM_MatchWildcard, suffix, "*.DAT", "file012345_ffffff.dat");
BENCHMARK_CAPTURE(BM_MatchWildcard, mixed, "f?LE*_*f.d*", "file012345_ffffff.dat");
BENCHMARK_CAPTURE(BM_MatchWildcard, miss_backtrack, "*a*b*c*d*e*z", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
BENCHMARK_CAPTURE(BM_MatchWildcard, non_ascii, "*документы*", "Мои Документы и фото.txt");

// The string-pattern overload folds the pattern on every call.
void BM_MatchWildcard_StringPattern(benchmark::State& state) {
    const std::string p = "*.dat";
    const std::string n = "file012345_ffffff.dat";
    for (auto _ : state) benchmark::DoNotOptimize(WildcardMatcher::match(p, n));
}
BENCHMARK(BM_MatchWildcard_StringPattern);

void BM_Lznt1Decompress_Unit(benchmark::State& state) {
    Fixture& fx = fixture();
    if (!fx.ok) {
        state.SkipWithError("fixture image not available");
        return;
    }
    FileZ f;
    f.openRecord(fx.job.filesystem.volume(), fx.job.geometry, &fx.job.filesystem.mftEntry(), kRecordCompressedText);
    const auto extents = f.dataExtents();
    if (extents.empty() || !extents.front()->nonResident || extents.front()->runs.empty() ||
        !extents.front()->compressed) {
        state.SkipWithError("record is not a compressed non-resident file");
        return;
    }
    const DATA_ATTRIBUTE& d = *extents.front();
    const std::uint64_t cb = fx.job.geometry.clusterBytes();
    const std::uint64_t unitClusters = 1ULL << d.compressionUnit;
    const auto& run = d.runs[0];
    if (run.sparse || run.length >= unitClusters) {
        state.SkipWithError("first unit is not stored compressed");
        return;
    }
    std::vector<std::uint8_t> in(static_cast<std::size_t>(run.length * cb));
    fx.job.filesystem.volume().readBytes(in.data(), in.size(), static_cast<std::uint64_t>(run.lcn) * cb);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(unitClusters * cb));
    std::uint32_t produced = 0;
    for (auto _ : state) {
        produced = Lznt1::decompress(out.data(), out.size(), in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
    }
    if (produced == 0) state.SkipWithError("unit did not decompress");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * produced);
    state.counters["in_bytes"] = static_cast<double>(in.size());
    state.counters["out_bytes"] = produced;
}
BENCHMARK(BM_Lznt1Decompress_Unit);

// A 1 MiB read of a BitLocker volume: sector size in range(0).
void BM_BitLockerDecrypt(benchmark::State& state, std::uint16_t method) {
    std::vector<std::uint8_t> keyBytes(64);
    for (std::size_t i = 0; i < keyBytes.size(); ++i) keyBytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const BitLockerCipher cipher(method, SecretBytes(keyBytes.data(), keyBytes.size()),
                                 static_cast<std::uint32_t>(state.range(0)));
    std::vector<std::uint8_t> data(1 << 20, 0x5a);
    std::uint64_t offset = 0;
    for (auto _ : state) {
        cipher.decrypt(data.data(), data.size(), offset);
        offset += data.size();
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
}
BENCHMARK_CAPTURE(BM_BitLockerDecrypt, xts128, BitLockerMetadata::kAesXts128)->Arg(512)->Arg(4096);
BENCHMARK_CAPTURE(BM_BitLockerDecrypt, xts256, BitLockerMetadata::kAesXts256)->Arg(512);
BENCHMARK_CAPTURE(BM_BitLockerDecrypt, cbc128, BitLockerMetadata::kAesCbc128)->Arg(512);
BENCHMARK_CAPTURE(BM_BitLockerDecrypt, cbc128_diffuser, BitLockerMetadata::kAesCbc128Diffuser)->Arg(512);

} // namespace

BENCHMARK_MAIN();
