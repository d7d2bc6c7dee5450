// Benchmark driver for the engine until the command-line program lands:
//
//   resurgo_bench search IMAGE [--days N] [--pattern P] [--json]
//       The deleted-file search over the whole MFT. --json writes every
//       result to stdout as one JSON object per line (the work a listing
//       does); a summary goes to stderr.
//   resurgo_bench restore IMAGE --record N --output PATH
//       Restores the unnamed data of MFT record N to PATH.
//   resurgo_bench mft-runs IMAGE
//       Prints "offset length" (bytes) of each run of the MFT's data as
//       the engine sees them, clipped to the MFT's data size.
//
// Exit code 0 on success, 1 on an engine failure, 2 on bad arguments.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "core/ErrorException.h"
#include "file/FileZ.h"
#include "file/MftReader.h"
#include "platform/Platform.h"
#include "recovery/FilesystemNTFS.h"
#include "recovery/RESTORE_RESULT.h"
#include "recovery/SearchJob.h"

using namespace resurgo;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

int usage() {
    std::fprintf(stderr,
                 "usage: resurgo_bench search IMAGE [--days N] [--pattern P] [--json]\n"
                 "       resurgo_bench restore IMAGE --record N --output PATH\n"
                 "       resurgo_bench mft-runs IMAGE\n");
    return 2;
}

void appendJsonString(std::string& out, const std::string& s) {
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

int runSearch(const std::string& image, std::int32_t days, const std::string& pattern, bool json) {
    const auto t0 = Clock::now();
    SearchJob job;
    job.driveRoot = image;
    job.days = days;
    job.pattern = pattern;
    job.run(nullptr, nullptr);
    const double searchMs = msSince(t0);
    if (job.outcome() != SearchJob::Outcome::Completed) {
        std::fprintf(stderr, "search failed (outcome %d)%s%s\n", static_cast<int>(job.outcome()),
                     job.failure() ? ": " : "", job.failure() ? job.failure()->diagnostic().c_str() : "");
        return 1;
    }
    const auto& results = job.filesystem.results();
    std::size_t nameBytes = 0;
    if (json) {
        std::string line;
        for (const FOUND_FILE& f : results) {
            line.clear();
            line += "{\"record\":";
            line += std::to_string(f.recordNumber);
            line += ",\"name\":";
            appendJsonString(line, f.name);
            line += ",\"directory\":";
            appendJsonString(line, f.directory);
            line += ",\"size\":";
            line += std::to_string(f.size);
            line += ",\"modified\":";
            appendJsonString(line, f.lastModificationTime.isoUtc());
            line += ",\"created\":";
            appendJsonString(line, f.creationTime.isoUtc());
            line += ",\"accessed\":";
            appendJsonString(line, f.lastAccessTime.isoUtc());
            line += "}\n";
            std::fwrite(line.data(), 1, line.size(), stdout);
        }
        std::fflush(stdout);
    }
    for (const FOUND_FILE& f : results) nameBytes += f.name.size() + f.directory.size();
    std::fprintf(stderr,
                 "search: %zu results, %zu bytes of names and paths, sizeof(FOUND_FILE)=%zu, "
                 "search %.1f ms, total %.1f ms\n",
                 results.size(), nameBytes, sizeof(FOUND_FILE), searchMs, msSince(t0));
    return 0;
}

int runRestore(const std::string& image, std::uint64_t record, const std::string& output) {
    const auto t0 = Clock::now();
    SearchJob job;
    try {
        job.prepareGeometry(image);
        job.openFilesystem();
        FileZ f;
        f.openRecord(job.filesystem.volume(), job.geometry, &job.filesystem.mftEntry(), record);
        OsHandle h = job.filesystem.openOutputFile(output, OutputMode::Replace);
        RESTORE_RESULT r;
        try {
            r = job.filesystem.copyFileZ(f, h);
        } catch (...) {
            platform().closeOutput(h);
            throw;
        }
        if (!platform().closeOutput(h)) {
            std::fprintf(stderr, "restore: closing %s failed\n", output.c_str());
            return 1;
        }
        job.closeFilesystem();
        const double ms = msSince(t0);
        std::fprintf(stderr, "restore: record %llu, %llu bytes written, %llu damaged units, %.1f ms, %.1f MiB/s\n",
                     static_cast<unsigned long long>(record), static_cast<unsigned long long>(r.bytesWritten),
                     static_cast<unsigned long long>(r.damagedUnits), ms,
                     ms > 0 ? r.bytesWritten / 1048576.0 / (ms / 1000.0) : 0.0);
    } catch (const ErrorException& e) {
        std::fprintf(stderr, "restore failed: %s (code %d)\n", e.diagnostic().c_str(), static_cast<int>(e.code()));
        return 1;
    }
    return 0;
}

int runMftRuns(const std::string& image) {
    SearchJob job;
    try {
        job.prepareGeometry(image);
        job.openFilesystem();
        MftReader& mft = job.filesystem.mftEntry();
        const std::uint64_t cb = job.geometry.clusterBytes();
        std::uint64_t left = mft.getRealSize();
        for (const auto& run : mft.runTable().runs()) {
            if (left == 0) break;
            if (run.sparse) continue;
            std::uint64_t bytes = std::min(left, run.length * cb);
            std::printf("%llu %llu\n", static_cast<unsigned long long>(run.lcn * cb),
                        static_cast<unsigned long long>(bytes));
            left -= bytes;
        }
        job.closeFilesystem();
    } catch (const ErrorException& e) {
        std::fprintf(stderr, "mft-runs failed: %s\n", e.diagnostic().c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const std::string command = argv[1];
    const std::string image = argv[2];
    std::int32_t days = 1000000;
    std::string pattern = "*";
    bool json = false;
    std::uint64_t record = ~0ULL;
    std::string output;
    for (int i = 3; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--days") {
            days = static_cast<std::int32_t>(std::strtol(value().c_str(), nullptr, 10));
        } else if (a == "--pattern") {
            pattern = value();
        } else if (a == "--json") {
            json = true;
        } else if (a == "--record") {
            record = std::strtoull(value().c_str(), nullptr, 10);
        } else if (a == "--output") {
            output = value();
        } else {
            return usage();
        }
    }
    if (command == "search") return runSearch(image, days, pattern, json);
    if (command == "restore") {
        if (record == ~0ULL || output.empty()) return usage();
        return runRestore(image, record, output);
    }
    if (command == "mft-runs") return runMftRuns(image);
    return usage();
}
