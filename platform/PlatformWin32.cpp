// Win32 implementation of the platform layer. Sources are opened with
// GENERIC_READ only; names and paths cross the API as UTF-16.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <utility>
#include <vector>

#include "core/TextUtf.h"
#include "platform/Platform.h"

namespace resurgo {

namespace {

std::wstring wide(const std::string& utf8) {
    std::u16string u = TextUtf::toUtf16(utf8);
    return std::wstring(u.begin(), u.end());
}

HANDLE toHandle(OsHandle h) { return reinterpret_cast<HANDLE>(h); }
OsHandle fromHandle(HANDLE h) {
    return h == INVALID_HANDLE_VALUE ? kNoHandle : reinterpret_cast<OsHandle>(h);
}

// Tries at a free temporary name before a replacing create gives up.
constexpr int kTemporaryTries = 100;

// An output directory: held open without delete sharing, so it can be
// neither renamed nor replaced while files are made in it.
struct OutputDirectoryHandle {
    HANDLE handle;
    std::wstring path;  // ends with a separator
};

std::wstring fullPath(const std::wstring& path) {
    DWORD n = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return path;
    std::vector<wchar_t> buffer(n + 1, L'\0');
    DWORD got = ::GetFullPathNameW(path.c_str(), n + 1, buffer.data(), nullptr);
    return got == 0 || got > n ? path : std::wstring(buffer.data(), got);
}

// An open directory that is a real directory, not a reparse point
// (a junction or a link).
HANDLE openPlainDirectory(const std::wstring& path, bool allowReparse) {
    HANDLE h = ::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | (allowReparse ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (!allowReparse && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
        ::CloseHandle(h);
        ::SetLastError(allowReparse ? ERROR_DIRECTORY : ERROR_ALREADY_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

// CREATE_NEW fails on any name that exists, a reparse point included. A
// replacing create makes a new file under a temporary name beside path
// and renames it over path through its handle: the directory entry is
// replaced, a link is never written through.
HANDLE createFile(const std::wstring& path, OutputMode mode) {
    if (mode == OutputMode::NewOnly) {
        return ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    }
    static std::atomic<unsigned> counter{0};
    const std::wstring full = fullPath(path);
    const std::wstring directory = full.substr(0, full.find_last_of(L"\\/") + 1);
    for (int i = 0; i < kTemporaryTries; ++i) {
        const std::wstring temporary = directory + L".resurgo-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                       std::to_wstring(counter++) + L".part";
        HANDLE h = ::CreateFileW(temporary.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (::GetLastError() == ERROR_FILE_EXISTS) continue;
            return h;
        }
        std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + full.size() * sizeof(wchar_t));
        auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        rename->ReplaceIfExists = TRUE;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = static_cast<DWORD>(full.size() * sizeof(wchar_t));
        std::memcpy(rename->FileName, full.c_str(), full.size() * sizeof(wchar_t));
        if (!::SetFileInformationByHandle(h, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))) {
            DWORD err = ::GetLastError();
            FILE_DISPOSITION_INFO gone{};
            gone.DeleteFile = TRUE;
            ::SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone);
            ::CloseHandle(h);
            ::SetLastError(err);
            return INVALID_HANDLE_VALUE;
        }
        return h;
    }
    ::SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

// The shadow copies the system exposes: devices named
// HarddiskVolumeShadowCopyN in the object directory \Device, listed
// through ntdll (no other API lists them; the functions are looked up, as
// the import libraries do not all declare them).
constexpr wchar_t kShadowPrefix[] = L"HarddiskVolumeShadowCopy";
constexpr std::size_t kShadowPrefixLength = sizeof kShadowPrefix / sizeof kShadowPrefix[0] - 1;
// Entries of \Device read at most: a system has a few hundred devices;
// this bounds the walk whatever the directory answers.
constexpr unsigned kMaxDeviceEntries = 1u << 16;
// When \Device can't be listed, N = 1.. are tried until this many in a
// row are missing (copies deleted leave gaps), up to kMaxShadowNumber.
constexpr unsigned kShadowMissesInRow = 64;
constexpr unsigned kMaxShadowNumber = 4096;

using NtOpenDirectoryObjectFn = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*);
using NtQueryDirectoryObjectFn = LONG(NTAPI*)(HANDLE, void*, ULONG, BOOLEAN, BOOLEAN, ULONG*, ULONG*);
using NtCloseFn = LONG(NTAPI*)(HANDLE);

struct DirectoryEntry {
    UNICODE_STRING name;
    UNICODE_STRING typeName;
};

constexpr ACCESS_MASK kDirectoryQuery = 0x0001;
constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusMoreEntries = 0x105;

// N of a device name HarddiskVolumeShadowCopyN; 0 when it is not one.
unsigned shadowNumber(const wchar_t* name, std::size_t length) {
    // Nine digits at most: the number fits, whatever the name says.
    if (length <= kShadowPrefixLength || length - kShadowPrefixLength > 9 ||
        std::wcsncmp(name, kShadowPrefix, kShadowPrefixLength) != 0) {
        return 0;
    }
    unsigned n = 0;
    for (std::size_t i = kShadowPrefixLength; i < length; ++i) {
        if (name[i] < L'0' || name[i] > L'9') return 0;
        n = n * 10 + static_cast<unsigned>(name[i] - L'0');
    }
    return n;
}

// The N of every shadow-copy device in \Device; false when the directory
// can't be read.
bool listShadowNumbers(std::vector<unsigned>& numbers) {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return false;
    auto open = reinterpret_cast<NtOpenDirectoryObjectFn>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtOpenDirectoryObject")));
    auto query = reinterpret_cast<NtQueryDirectoryObjectFn>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtQueryDirectoryObject")));
    auto close = reinterpret_cast<NtCloseFn>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtClose")));
    if (open == nullptr || query == nullptr || close == nullptr) return false;
    wchar_t path[] = L"\\Device";
    UNICODE_STRING name{};
    name.Buffer = path;
    name.Length = static_cast<USHORT>((sizeof path / sizeof path[0] - 1) * sizeof(wchar_t));
    name.MaximumLength = sizeof path;
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.ObjectName = &name;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    HANDLE directory = nullptr;
    if (open(&directory, kDirectoryQuery, &attributes) != kStatusSuccess) return false;
    // One entry per call: its name lies in the buffer after the entry.
    std::vector<std::uint64_t> buffer(1024);
    ULONG context = 0;
    for (unsigned i = 0; i < kMaxDeviceEntries; ++i) {
        ULONG returned = 0;
        const LONG status = query(directory, buffer.data(), static_cast<ULONG>(buffer.size() * sizeof buffer[0]), TRUE,
                                  i == 0, &context, &returned);
        if (status != kStatusSuccess && status != kStatusMoreEntries) break;
        DirectoryEntry entry{};
        std::memcpy(&entry, buffer.data(), sizeof entry);
        if (entry.name.Buffer == nullptr) break;
        if (const unsigned n = shadowNumber(entry.name.Buffer, entry.name.Length / sizeof(wchar_t)); n != 0) {
            numbers.push_back(n);
        }
    }
    close(directory);
    return true;
}

// Tries N = 1.. by opening each device for reading, as sources are.
void probeShadowNumbers(std::vector<unsigned>& numbers) {
    unsigned misses = 0;
    for (unsigned n = 1; n <= kMaxShadowNumber && misses < kShadowMissesInRow; ++n) {
        const std::wstring path = L"\\\\?\\GLOBALROOT\\Device\\" + std::wstring(kShadowPrefix) + std::to_wstring(n);
        HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 0, nullptr);
        const DWORD error = ::GetLastError();
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
        if (h == INVALID_HANDLE_VALUE && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) {
            ++misses;
            continue;
        }
        // Present, though perhaps not readable by this user: opening it as
        // a source says why.
        misses = 0;
        numbers.push_back(n);
    }
}

class Win32Platform final : public Platform {
public:
    OsHandle openSource(const std::string& path) override {
        HANDLE h = ::CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        return fromHandle(h);
    }

    OsHandle openRegularFile(const std::string& path) override {
        HANDLE h = ::CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return fromHandle(h);
        // Pipes, consoles and devices are not files a container may name.
        BY_HANDLE_FILE_INFORMATION info{};
        if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            ::CloseHandle(h);
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return kNoHandle;
        }
        return fromHandle(h);
    }

    bool querySource(OsHandle h, SourceGeometry& out) override {
        out = SourceGeometry{};
        DISK_GEOMETRY dg{};
        DWORD got = 0;
        if (::DeviceIoControl(toHandle(h), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &dg, sizeof dg, &got, nullptr) &&
            dg.BytesPerSector != 0) {
            out.fromDevice = true;
            out.isBlockDevice = true;
            out.bytesPerSector = dg.BytesPerSector;
            out.cylinders = static_cast<std::uint64_t>(dg.Cylinders.QuadPart);
            out.tracksPerCylinder = dg.TracksPerCylinder;
            out.sectorsPerTrack = dg.SectorsPerTrack;
            GET_LENGTH_INFORMATION len{};
            if (::DeviceIoControl(toHandle(h), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &len, sizeof len, &got,
                                  nullptr)) {
                out.sizeBytes = static_cast<std::uint64_t>(len.Length.QuadPart);
            }
            return true;
        }
        // The geometry query is refused for image-backed and some virtual
        // volumes: fall back to the length of the source.
        GET_LENGTH_INFORMATION len{};
        if (::DeviceIoControl(toHandle(h), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &len, sizeof len, &got, nullptr)) {
            out.sizeBytes = static_cast<std::uint64_t>(len.Length.QuadPart);
            return true;
        }
        LARGE_INTEGER size{};
        if (::GetFileSizeEx(toHandle(h), &size)) {
            out.sizeBytes = static_cast<std::uint64_t>(size.QuadPart);
            return true;
        }
        return false;
    }

    bool readAt(OsHandle h, void* buffer, std::size_t length, std::uint64_t offset, std::size_t& got) override {
        got = 0;
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
        ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD chunk = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
        DWORD read = 0;
        if (!::ReadFile(toHandle(h), buffer, chunk, &read, &ov)) {
            if (::GetLastError() == ERROR_HANDLE_EOF) return true;
            return false;
        }
        got = read;
        return true;
    }

    bool closeSource(OsHandle h) override { return ::CloseHandle(toHandle(h)) != 0; }

    void* allocateZeroed(std::size_t bytes) override {
        if (bytes == 0) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        return ::VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }

    bool release(void* p, std::size_t) override { return ::VirtualFree(p, 0, MEM_RELEASE) != 0; }

    std::uint64_t currentUtc() override {
        FILETIME ft{};
        ::GetSystemTimeAsFileTime(&ft);
        return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    }

    bool utcToLocal(std::uint64_t ntUtc, LocalTime& out) override {
        FILETIME utc{static_cast<DWORD>(ntUtc & 0xFFFFFFFFu), static_cast<DWORD>(ntUtc >> 32)};
        FILETIME local{};
        SYSTEMTIME st{};
        if (!::FileTimeToLocalFileTime(&utc, &local)) return false;
        if (!::FileTimeToSystemTime(&local, &st)) return false;
        out.year = st.wYear;
        out.month = st.wMonth;
        out.dayOfWeek = st.wDayOfWeek;
        out.day = st.wDay;
        out.hour = st.wHour;
        out.minute = st.wMinute;
        out.second = st.wSecond;
        out.millisecond = st.wMilliseconds;
        return true;
    }

    OsHandle createOutput(const std::string& path, OutputMode mode) override {
        return fromHandle(createFile(wide(path), mode));
    }

    bool writeOutput(OsHandle h, const void* data, std::size_t length, std::size_t& written) override {
        written = 0;
        DWORD chunk = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
        DWORD w = 0;
        if (!::WriteFile(toHandle(h), data, chunk, &w, nullptr)) return false;
        written = w;
        if (w == 0 && length > 0) ::SetLastError(ERROR_DISK_FULL);
        return true;
    }

    bool skipOutput(OsHandle h, std::uint64_t length) override {
        // The file becomes sparse (a no-op when it is already, refused by
        // file systems without sparse files, which then write zeros for
        // the bytes passed): the range moved over stays unallocated.
        DWORD returned = 0;
        ::DeviceIoControl(toHandle(h), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
        if (length > static_cast<std::uint64_t>(INT64_MAX)) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        LARGE_INTEGER move{};
        move.QuadPart = static_cast<LONGLONG>(length);
        return ::SetFilePointerEx(toHandle(h), move, nullptr, FILE_CURRENT) != 0;
    }

    bool setOutputSize(OsHandle h, std::uint64_t size) override {
        // SetEndOfFile works at the file pointer; put the pointer back
        // afterwards so that, as with ftruncate, the next write goes where
        // the previous one ended.
        LARGE_INTEGER zero{}, current{}, pos{};
        if (!::SetFilePointerEx(toHandle(h), zero, &current, FILE_CURRENT)) return false;
        pos.QuadPart = static_cast<LONGLONG>(size);
        if (!::SetFilePointerEx(toHandle(h), pos, nullptr, FILE_BEGIN)) return false;
        if (!::SetEndOfFile(toHandle(h))) {
            DWORD err = ::GetLastError();
            ::SetFilePointerEx(toHandle(h), current, nullptr, FILE_BEGIN);
            ::SetLastError(err);
            return false;
        }
        return ::SetFilePointerEx(toHandle(h), current, nullptr, FILE_BEGIN) != 0;
    }

    bool setOutputTimes(OsHandle h, std::uint64_t modifiedNt, std::uint64_t accessedNt) override {
        FILETIME m{static_cast<DWORD>(modifiedNt & 0xFFFFFFFFu), static_cast<DWORD>(modifiedNt >> 32)};
        FILETIME a{static_cast<DWORD>(accessedNt & 0xFFFFFFFFu), static_cast<DWORD>(accessedNt >> 32)};
        return ::SetFileTime(toHandle(h), nullptr, &a, &m) != 0;
    }

    bool closeOutput(OsHandle h) override { return ::CloseHandle(toHandle(h)) != 0; }

    bool removeOutput(const std::string& path) override { return ::DeleteFileW(wide(path).c_str()) != 0; }

    bool fileExists(const std::string& path) override {
        return ::GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    OsHandle openOutputDirectory(const std::string& path, bool create) override {
        std::wstring full = fullPath(wide(path));
        if (create) {
            // Each missing directory from the top down.
            for (std::size_t at = full.find_first_of(L"\\/", 3); ; at = full.find_first_of(L"\\/", at + 1)) {
                const std::wstring part = full.substr(0, at);
                if (!::CreateDirectoryW(part.c_str(), nullptr)) {
                    DWORD err = ::GetLastError();
                    DWORD attributes = ::GetFileAttributesW(part.c_str());
                    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                        ::SetLastError(err == ERROR_ALREADY_EXISTS ? ERROR_DIRECTORY : err);
                        return kNoHandle;
                    }
                }
                if (at == std::wstring::npos) break;
            }
        }
        HANDLE h = openPlainDirectory(full, true);
        if (h == INVALID_HANDLE_VALUE) return kNoHandle;
        if (full.back() != L'\\' && full.back() != L'/') full.push_back(L'\\');
        return reinterpret_cast<OsHandle>(new OutputDirectoryHandle{h, full});
    }

    OsHandle enterOutputDirectory(OsHandle directory, const std::string& name) override {
        const auto* parent = reinterpret_cast<const OutputDirectoryHandle*>(directory);
        const std::wstring path = parent->path + wide(name);
        if (!::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) return kNoHandle;
        // A file or a reparse point with the name fails as taken.
        HANDLE h = openPlainDirectory(path, false);
        if (h == INVALID_HANDLE_VALUE) return kNoHandle;
        return reinterpret_cast<OsHandle>(new OutputDirectoryHandle{h, path + L"\\"});
    }

    OsHandle createOutputIn(OsHandle directory, const std::string& name, OutputMode mode) override {
        const auto* parent = reinterpret_cast<const OutputDirectoryHandle*>(directory);
        return fromHandle(createFile(parent->path + wide(name), mode));
    }

    bool removeOutputIn(OsHandle directory, const std::string& name) override {
        const auto* parent = reinterpret_cast<const OutputDirectoryHandle*>(directory);
        return ::DeleteFileW((parent->path + wide(name)).c_str()) != 0;
    }

    bool closeOutputDirectory(OsHandle directory) override {
        auto* d = reinterpret_cast<OutputDirectoryHandle*>(directory);
        bool ok = ::CloseHandle(d->handle) != 0;
        delete d;
        return ok;
    }

    OutputFailure outputFailure(std::uint32_t code) override {
        switch (code) {
            case ERROR_FILE_EXISTS:
            case ERROR_ALREADY_EXISTS: return OutputFailure::Exists;
            case ERROR_FILENAME_EXCED_RANGE: return OutputFailure::NameTooLong;
            case ERROR_DIRECTORY: return OutputFailure::NotADirectory;
            case ERROR_WRITE_PROTECT: return OutputFailure::ReadOnly;
            case ERROR_ACCESS_DENIED: return OutputFailure::Denied;
            case ERROR_DISK_FULL:
            case ERROR_HANDLE_DISK_FULL: return OutputFailure::NoSpace;
            default: return OutputFailure::Other;
        }
    }

    bool availableSpace(const std::string& path, std::uint64_t& bytes) override {
        std::wstring w = wide(path);
        wchar_t root[MAX_PATH + 1] = {};
        if (!::GetVolumePathNameW(w.c_str(), root, MAX_PATH)) return false;
        ULARGE_INTEGER avail{}, total{}, freeBytes{};
        if (!::GetDiskFreeSpaceExW(root, &avail, &total, &freeBytes)) return false;
        bytes = avail.QuadPart;
        return true;
    }

    bool shadowCopyDevices(std::vector<std::string>& devices) override {
        devices.clear();
        std::vector<unsigned> numbers;
        if (!listShadowNumbers(numbers)) probeShadowNumbers(numbers);
        std::sort(numbers.begin(), numbers.end());
        numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
        for (unsigned n : numbers) {
            devices.push_back("\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy" + std::to_string(n));
        }
        return true;
    }

    std::uint32_t lastError() override { return ::GetLastError(); }

    std::string errorText(std::uint32_t code) override {
        wchar_t* text = nullptr;
        DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        std::string out;
        if (n != 0 && text != nullptr) {
            std::u16string u(reinterpret_cast<const char16_t*>(text), n);
            out = TextUtf::fromUtf16(u);
            while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
        }
        if (text) ::LocalFree(text);
        return out;
    }
};

} // namespace

Platform& systemPlatform() {
    static Win32Platform instance;
    return instance;
}

} // namespace resurgo
