// Drive roots on Win32: the logical drive strings and, per drive, its type,
// volume information and free space. Names cross the API as UTF-16.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cwchar>

#include "core/TextUtf.h"
#include "platform/LogicalDrives.h"

namespace resurgo {

namespace {

std::wstring wide(const std::string& s) {
    std::u16string u = TextUtf::toUtf16(s);
    return std::wstring(u.begin(), u.end());
}

std::string narrow(const wchar_t* s) {
    std::u16string u;
    for (; *s != 0; ++s) u.push_back(static_cast<char16_t>(*s));
    return TextUtf::fromUtf16(u);
}

class Win32Drives final : public LogicalDrives {
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

} // namespace

LogicalDrives& LogicalDrives::system() {
    static Win32Drives drives;
    return drives;
}

} // namespace resurgo
