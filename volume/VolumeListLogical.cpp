#include "volume/VolumeListLogical.h"

#include "core/ErrorException.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "core/TextUtf.h"
#endif

namespace resurgo {

namespace {

constexpr std::int64_t kBytesPerMegabyte = 1000000;

#ifdef _WIN32

std::wstring wide(const std::string& s) {
    std::u16string u = TextUtf::toUtf16(s);
    return std::wstring(u.begin(), u.end());
}

std::string narrow(const wchar_t* s) {
    std::u16string u;
    for (; *s != 0; ++s) u.push_back(static_cast<char16_t>(*s));
    return TextUtf::fromUtf16(u);
}

class Win32Source final : public VolumeListLogical::Source {
public:
    bool driveRoots(std::vector<std::string>& roots) override {
        roots.clear();
        DWORD length = ::GetLogicalDriveStringsW(0, nullptr);
        if (length == 0) return true;  // no drive strings at all
        std::vector<wchar_t> buffer(length + 1, 0);
        DWORD got = ::GetLogicalDriveStringsW(length, buffer.data());
        if (got == 0 || got > length) return false;
        for (const wchar_t* p = buffer.data(); *p != 0; p += wcslen(p) + 1) roots.push_back(narrow(p));
        return true;
    }

    bool isFixedDrive(const std::string& root) override { return ::GetDriveTypeW(wide(root).c_str()) == DRIVE_FIXED; }

    bool volumeInformation(const std::string& root, std::string& label, std::string& fileSystem) override {
        // Room for the longest label and file-system name the system has.
        wchar_t labelBuffer[MAX_PATH + 1] = {};
        wchar_t fsBuffer[MAX_PATH + 1] = {};
        if (!::GetVolumeInformationW(wide(root).c_str(), labelBuffer, MAX_PATH + 1, nullptr, nullptr, nullptr,
                                     fsBuffer, MAX_PATH + 1)) {
            return false;
        }
        label = narrow(labelBuffer);
        fileSystem = narrow(fsBuffer);
        return true;
    }

    bool diskFreeSpace(const std::string& root, std::uint32_t& sectorsPerCluster, std::uint32_t& bytesPerSector,
                       std::uint64_t& freeClusters, std::uint64_t& totalClusters) override {
        DWORD spc = 0, bps = 0, fc = 0, tc = 0;
        if (!::GetDiskFreeSpaceW(wide(root).c_str(), &spc, &bps, &fc, &tc)) return false;
        sectorsPerCluster = spc;
        bytesPerSector = bps;
        freeClusters = fc;
        totalClusters = tc;
        return true;
    }

    std::uint32_t lastError() override { return ::GetLastError(); }
};

#else

class NoDriveSource final : public VolumeListLogical::Source {
public:
    bool driveRoots(std::vector<std::string>& roots) override {
        roots.clear();
        return true;
    }
    bool isFixedDrive(const std::string&) override { return false; }
    bool volumeInformation(const std::string&, std::string&, std::string&) override { return false; }
    bool diskFreeSpace(const std::string&, std::uint32_t&, std::uint32_t&, std::uint64_t&, std::uint64_t&) override {
        return false;
    }
    std::uint32_t lastError() override { return 0; }
};

#endif

} // namespace

VolumeListLogical::Source::~Source() = default;

VolumeListLogical::Source& VolumeListLogical::systemSource() {
#ifdef _WIN32
    static Win32Source source;
#else
    static NoDriveSource source;
#endif
    return source;
}

VolumeListLogical::VolumeListLogical() = default;
VolumeListLogical::~VolumeListLogical() = default;

void VolumeListLogical::get_list() { get_list(systemSource()); }

void VolumeListLogical::get_list(Source& source) {
    entries.clear();
    driveCount = 0;
    ntfsCount = 0;
    std::vector<std::string> roots;
    if (!source.driveRoots(roots)) {
        throw ErrorException(kErrNoMemory, source.lastError(), "VolumeListLogical::get_list");
    }
    driveCount = static_cast<std::int32_t>(roots.size());
    for (const std::string& root : roots) {
        if (!source.isFixedDrive(root)) continue;
        Volume entry;
        if (!source.volumeInformation(root, entry.volumeLabel, entry.fileSystemName)) {
            throw ErrorException(kErrOpenDisk, source.lastError(), "VolumeListLogical::get_list");
        }
        if (entry.fileSystemName.compare(0, 4, "NTFS") != 0) continue;
        std::uint32_t sectorsPerCluster = 0, bytesPerSector = 0;
        std::uint64_t freeClusters = 0, totalClusters = 0;
        if (!source.diskFreeSpace(root, sectorsPerCluster, bytesPerSector, freeClusters, totalClusters)) {
            throw ErrorException(kErrOpenDisk, source.lastError(), "VolumeListLogical::get_list");
        }
        const std::uint64_t bytesPerCluster = static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector;
        entry.sizeMegabytes = static_cast<std::int64_t>(totalClusters * bytesPerCluster) / kBytesPerMegabyte;
        entry.freeMegabytes = static_cast<std::int64_t>(freeClusters * bytesPerCluster) / kBytesPerMegabyte;
        entry.removable = false;
        entry.path = root;
        entries.push_back(entry);
        ++ntfsCount;
    }
}

std::string VolumeListLogical::displayText(const Volume& v) { return v.path + " [" + v.volumeLabel + "]"; }

} // namespace resurgo
