#pragma once
// Shared helpers for the tests: fixture images and their facts, temporary
// directories, and a platform that delegates to the real one so that tests
// can inject faults at chosen places.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/ErrorException.h"

#include "platform/Platform.h"

namespace resurgo::test {

// The ErrorException that f raises (a failure is recorded when it raises none).
template <class F>
ErrorException raised(F&& f) {
    try {
        f();
    } catch (const ErrorException& e) {
        return e;
    }
    ADD_FAILURE() << "no ErrorException raised";
    return ErrorException(0, "");
}

// Path of a decompressed fixture image in the build tree ("basic" -> .../basic.img).
std::string fixtureImage(const std::string& name);
bool fixtureAvailable(const std::string& name);
// The facts recorded when the fixture was made.
nlohmann::json fixtureFacts(const std::string& name);
// A fresh, empty directory under the build tree for one test.
std::string tempDir(const std::string& tag);
std::vector<std::uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::string sha256Hex(const std::vector<std::uint8_t>& bytes);
// Copies a file (a fixture) so a test can damage the copy.
std::string copyFile(const std::string& from, const std::string& to);
// Overwrites bytes of an existing file in place (damaging a copy).
void patchFile(const std::string& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes);

// The BitLocker volumes made by Windows (the real images' bitlocker/
// tarball), unpacked once into the build tree: their folder, or "" when
// the tarball is not there. bitLockerVolumes() reads its images.conf: one
// map of KEY=value per [volume] section, the section's name under "name".
std::string bitLockerImages();
std::vector<std::map<std::string, std::string>> bitLockerVolumes();

// Delegates everything to the system platform; tests override single calls.
class DelegatingPlatform : public Platform {
public:
    OsHandle openSource(const std::string& path) override { return systemPlatform().openSource(path); }
    OsHandle openRegularFile(const std::string& path) override { return systemPlatform().openRegularFile(path); }
    bool querySource(OsHandle h, SourceGeometry& out) override { return systemPlatform().querySource(h, out); }
    bool readAt(OsHandle h, void* b, std::size_t n, std::uint64_t off, std::size_t& got) override {
        return systemPlatform().readAt(h, b, n, off, got);
    }
    bool closeSource(OsHandle h) override { return systemPlatform().closeSource(h); }
    void* allocateZeroed(std::size_t n) override { return systemPlatform().allocateZeroed(n); }
    bool release(void* p, std::size_t n) override { return systemPlatform().release(p, n); }
    std::uint64_t currentUtc() override { return systemPlatform().currentUtc(); }
    bool utcToLocal(std::uint64_t t, LocalTime& out) override { return systemPlatform().utcToLocal(t, out); }
    OsHandle createOutput(const std::string& p, OutputMode m) override { return systemPlatform().createOutput(p, m); }
    bool writeOutput(OsHandle h, const void* d, std::size_t n, std::size_t& w) override {
        return systemPlatform().writeOutput(h, d, n, w);
    }
    bool setOutputSize(OsHandle h, std::uint64_t s) override { return systemPlatform().setOutputSize(h, s); }
    bool skipOutput(OsHandle h, std::uint64_t n) override { return systemPlatform().skipOutput(h, n); }
    bool setOutputTimes(OsHandle h, std::uint64_t m, std::uint64_t a) override {
        return systemPlatform().setOutputTimes(h, m, a);
    }
    bool closeOutput(OsHandle h) override { return systemPlatform().closeOutput(h); }
    bool fileExists(const std::string& p) override { return systemPlatform().fileExists(p); }
    bool removeOutput(const std::string& p) override { return systemPlatform().removeOutput(p); }
    OsHandle openOutputDirectory(const std::string& p, bool c) override {
        return systemPlatform().openOutputDirectory(p, c);
    }
    OsHandle enterOutputDirectory(OsHandle d, const std::string& n) override {
        return systemPlatform().enterOutputDirectory(d, n);
    }
    OsHandle createOutputIn(OsHandle d, const std::string& n, OutputMode m) override {
        return systemPlatform().createOutputIn(d, n, m);
    }
    bool removeOutputIn(OsHandle d, const std::string& n) override { return systemPlatform().removeOutputIn(d, n); }
    bool closeOutputDirectory(OsHandle d) override { return systemPlatform().closeOutputDirectory(d); }
    OutputFailure outputFailure(std::uint32_t c) override { return systemPlatform().outputFailure(c); }
    bool availableSpace(const std::string& p, std::uint64_t& b) override { return systemPlatform().availableSpace(p, b); }
    bool shadowCopyDevices(std::vector<std::string>& d) override { return systemPlatform().shadowCopyDevices(d); }
    std::uint32_t lastError() override { return systemPlatform().lastError(); }
    std::string errorText(std::uint32_t c) override { return systemPlatform().errorText(c); }
};

// Serves a source from memory (path "mem:<anything>"); everything else
// goes to the system platform. Used for hand-built volumes.
class MemoryPlatform : public DelegatingPlatform {
public:
    explicit MemoryPlatform(std::vector<std::uint8_t> image, std::uint32_t sectorSize = 512)
        : image_(std::move(image)), sectorSize_(sectorSize) {}
    OsHandle openSource(const std::string& path) override;
    bool querySource(OsHandle h, SourceGeometry& out) override;
    bool readAt(OsHandle h, void* b, std::size_t n, std::uint64_t off, std::size_t& got) override;
    bool closeSource(OsHandle h) override;
    std::vector<std::uint8_t>& image() { return image_; }
    int opens = 0;
    int closes = 0;
    // Offsets whose reads fail (any read touching [off, off + len)).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> badRanges;
    // Largest number of bytes one read returns (0 = unlimited).
    std::size_t shortReadLimit = 0;

private:
    std::vector<std::uint8_t> image_;
    std::uint32_t sectorSize_;
};

} // namespace resurgo::test
