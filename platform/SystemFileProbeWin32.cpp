#include "platform/SystemFileProbe.h"

#include <cwctype>
#include <vector>
#include <windows.h>

namespace resurgo {

namespace {

constexpr DWORD kLongPath = 32768;

std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

// "X:", "X:\", "\\.\X:": a drive root, which names a volume; returned as "X:\".
std::wstring driveRootOf(std::wstring path) {
    if (path.rfind(L"\\\\.\\", 0) == 0 || path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);
    if (path.size() < 2 || path.size() > 3 || path[1] != L':' || !std::iswalpha(path[0])) return std::wstring();
    if (path.size() == 3 && path[2] != L'\\') return std::wstring();
    return std::wstring(1, static_cast<wchar_t>(std::towupper(path[0]))) + L":\\";
}

// The volume holding path, as one number: its volume name ("\\?\Volume{...}\")
// when the system has one, else its mount point ("D:\", "\\server\share\")
// in capitals; 0 when neither is known.
std::uint64_t volumeKey(const std::wstring& path) {
    std::vector<wchar_t> mount(kLongPath, L'\0');
    if (!::GetVolumePathNameW(path.c_str(), mount.data(), kLongPath)) return 0;
    std::wstring text = mount.data();
    if (!text.empty() && text.back() != L'\\') text.push_back(L'\\');
    wchar_t name[MAX_PATH + 1] = {};
    if (::GetVolumeNameForVolumeMountPointW(text.c_str(), name, MAX_PATH + 1)) {
        text = name;
    } else {
        for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    }
    // FNV-1a over the UTF-16 units.
    std::uint64_t h = 1469598103934665603ULL;
    for (wchar_t c : text) {
        h ^= static_cast<std::uint16_t>(c);
        h *= 1099511628211ULL;
    }
    return h == 0 ? 1 : h;
}

} // namespace

SystemFileProbe::SystemFileProbe(std::string sysfsRoot, std::string mountInfoPath)
    : sysfsRoot_(std::move(sysfsRoot)), mountInfoPath_(std::move(mountInfoPath)) {}

SystemFileProbe::~SystemFileProbe() = default;

FileProbe::Identity SystemFileProbe::identify(const std::string& path) {
    Identity id;
    const std::wstring w = wide(path);
    const std::wstring root = driveRootOf(w);
    if (!root.empty()) {
        // A drive root names its volume: the "device" every file on it is on.
        id.rdev = id.device = volumeKey(root);
        id.exists = id.isBlockDevice = id.rdev != 0;
        const DWORD attributes = ::GetFileAttributesW(root.c_str());
        id.isDirectory = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return id;
    }
    // Opened for no access, following links: the file a write would reach.
    HANDLE h = ::CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return id;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = ::GetFileInformationByHandle(h, &info) != 0;
    const DWORD type = ::GetFileType(h);
    ::CloseHandle(h);
    if (!known) return id;
    id.exists = true;
    id.isDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    id.isRegular = !id.isDirectory && type == FILE_TYPE_DISK;
    id.device = volumeKey(w);
    if (id.device == 0) id.device = info.dwVolumeSerialNumber;
    id.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return id;
}

FileProbe::Lower SystemFileProbe::lowerLayers(std::uint64_t) {
    // Volumes are told apart by their names; what a volume is stored on (a
    // mounted disk image) is not looked into.
    return Lower();
}

} // namespace resurgo
