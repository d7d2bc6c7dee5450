#pragma once
// An in-memory platform for the fuzz targets: one source ("mem:fuzz") served
// from a base image with an overlay of fuzzer bytes at a chosen offset, and
// a destination that only counts bytes and reports a full disk past a cap.
// Everything else goes to the system platform.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace resurgo::fuzz {

class FuzzPlatform : public Platform {
public:
    static constexpr OsHandle kSource = 0x5EED;
    static constexpr OsHandle kOutput = 0x0C7;

    const std::uint8_t* base = nullptr;
    std::size_t baseSize = 0;
    const std::uint8_t* overlay = nullptr;
    std::size_t overlaySize = 0;
    std::uint64_t overlayOffset = 0;
    std::uint64_t outputCap = 16u << 20;

    int opens = 0;
    int closes = 0;
    int outputsOpen = 0;
    std::uint64_t written = 0;

    OsHandle openSource(const std::string& path) override {
        if (path != "mem:fuzz") {
            errno = ENOENT;
            return kNoHandle;
        }
        ++opens;
        return kSource;
    }
    OsHandle openRegularFile(const std::string& path) override { return openSource(path); }
    bool querySource(OsHandle h, SourceGeometry& out) override {
        if (h != kSource) return false;
        out = SourceGeometry{};
        out.sizeBytes = baseSize;
        return true;
    }
    bool readAt(OsHandle h, void* buffer, std::size_t length, std::uint64_t offset, std::size_t& got) override {
        got = 0;
        if (h != kSource) {
            errno = EBADF;
            return false;
        }
        if (offset >= baseSize) return true;
        std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(length, baseSize - offset));
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::memcpy(out, base + offset, take);
        // Lay the overlay over [offset, offset + take).
        std::uint64_t lo = std::max<std::uint64_t>(offset, overlayOffset);
        std::uint64_t hi = std::min<std::uint64_t>(offset + take, overlayOffset + overlaySize);
        if (lo < hi) {
            std::memcpy(out + (lo - offset), overlay + (lo - overlayOffset), static_cast<std::size_t>(hi - lo));
        }
        got = take;
        return true;
    }
    bool closeSource(OsHandle h) override {
        if (h != kSource) return false;
        ++closes;
        return true;
    }
    void* allocateZeroed(std::size_t bytes) override { return systemPlatform().allocateZeroed(bytes); }
    bool release(void* p, std::size_t bytes) override { return systemPlatform().release(p, bytes); }
    std::uint64_t currentUtc() override { return systemPlatform().currentUtc(); }
    bool utcToLocal(std::uint64_t t, LocalTime& out) override { return systemPlatform().utcToLocal(t, out); }
    OsHandle createOutput(const std::string& path, OutputMode) override {
        if (path == "mem:fuzz") std::abort();  // never a destination on the source
        ++outputsOpen;
        return kOutput;
    }
    bool writeOutput(OsHandle h, const void*, std::size_t length, std::size_t& w) override {
        w = 0;
        if (h != kOutput) std::abort();
        if (written + length > outputCap) {
            errno = ENOSPC;
            return false;
        }
        written += length;
        w = length;
        return true;
    }
    bool setOutputSize(OsHandle h, std::uint64_t) override {
        if (h != kOutput) std::abort();
        return true;
    }
    bool skipOutput(OsHandle h, std::uint64_t) override {
        if (h != kOutput) std::abort();
        return true;
    }
    bool setOutputTimes(OsHandle h, std::uint64_t, std::uint64_t) override {
        if (h != kOutput) std::abort();
        return true;
    }
    bool closeOutput(OsHandle h) override {
        if (h != kOutput) std::abort();
        --outputsOpen;
        return true;
    }
    bool fileExists(const std::string&) override { return false; }
    bool removeOutput(const std::string&) override { return true; }
    // No output directories: restores go to the one counted output.
    OsHandle openOutputDirectory(const std::string&, bool) override {
        errno = ENOTSUP;
        return kNoHandle;
    }
    OsHandle enterOutputDirectory(OsHandle, const std::string&) override {
        errno = ENOTSUP;
        return kNoHandle;
    }
    OsHandle createOutputIn(OsHandle, const std::string&, OutputMode) override {
        errno = ENOTSUP;
        return kNoHandle;
    }
    bool removeOutputIn(OsHandle, const std::string&) override { return false; }
    bool closeOutputDirectory(OsHandle) override { return false; }
    OutputFailure outputFailure(std::uint32_t) override { return OutputFailure::Other; }
    bool availableSpace(const std::string&, std::uint64_t& bytes) override {
        bytes = outputCap;
        return true;
    }
    bool shadowCopyDevices(std::vector<std::string>& devices) override {
        devices.clear();
        return true;
    }
    std::uint32_t lastError() override { return static_cast<std::uint32_t>(errno); }
    std::string errorText(std::uint32_t code) override { return systemPlatform().errorText(code); }
};

} // namespace resurgo::fuzz
