// The start-up checks' facts on Win32: the version the system really runs
// and the Administrators alias in the process token's groups.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/InternalError.h"
#include "platform/SystemEnvironment.h"

namespace resurgo {

SystemEnvironment::SystemEnvironment() = default;
SystemEnvironment::~SystemEnvironment() = default;

// The version the system really runs: GetVersionEx answers with the
// version the manifest declares support for, the kernel's own call does not.
bool SystemEnvironment::readVersion(RunEnvironment::VERSION_RECORD& out) {
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    bool ok = false;
    if (HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll")) {
        auto fn = reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
        ok = fn != nullptr && fn(&info) == 0;
    }
    if (!ok) {
        info = OSVERSIONINFOW{};
        info.dwOSVersionInfoSize = sizeof info;
#ifdef __GNUC__
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
        ok = ::GetVersionExW(&info) != 0;
#ifdef __GNUC__
#pragma GCC diagnostic pop
#endif
    }
    if (!ok) return false;
    out.majorVersion = info.dwMajorVersion;
    out.minorVersion = info.dwMinorVersion;
    out.buildNumber = info.dwBuildNumber;
    out.platformId = info.dwPlatformId;
    out.servicePack.clear();
    // The service-pack text is ASCII ("Service Pack 6a").
    for (const wchar_t* p = info.szCSDVersion; *p != 0 && p < info.szCSDVersion + 128; ++p) {
        out.servicePack.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
    }
    return true;
}

bool SystemEnvironment::isLocalAdmin() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        reportInternalError("RunEnvironment::isLocalAdmin: OpenProcessToken error", 0);
    }
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenGroups, nullptr, 0, &size)) {
        DWORD err = ::GetLastError();
        if (err != ERROR_INSUFFICIENT_BUFFER) {
            ::CloseHandle(token);
            ::SetLastError(err);
            reportInternalError("RunEnvironment::isLocalAdmin: GetTokenInformation error",
                                static_cast<std::int32_t>(err));
        }
    }
    auto* groups = static_cast<TOKEN_GROUPS*>(::GlobalAlloc(GPTR, size));
    if (groups == nullptr || !::GetTokenInformation(token, TokenGroups, groups, size, &size)) {
        ::CloseHandle(token);
        reportInternalError("RunEnvironment::isLocalAdmin: GetTokenInformation error", 0);
    }
    ::CloseHandle(token);
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                    0, 0, 0, &admins)) {
        ::GlobalFree(groups);
        reportInternalError("RunEnvironment::isLocalAdmin: AllocateAndInitializeSid error", 0);
    }
    bool result = false;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (!::EqualSid(groups->Groups[i].Sid, admins)) continue;
        wchar_t name[256];
        wchar_t domain[256];
        DWORD length = 256;
        DWORD domainLength = 256;
        SID_NAME_USE use;
        if (::LookupAccountSidW(nullptr, groups->Groups[i].Sid, name, &length, domain, &domainLength, &use) ||
            ::GetLastError() == ERROR_NONE_MAPPED) {
            result = true;
        } else {
            ::FreeSid(admins);
            ::GlobalFree(groups);
            reportInternalError("RunEnvironment::isLocalAdmin: LookupAccountSid error", 0);
        }
    }
    ::FreeSid(admins);
    ::GlobalFree(groups);
    return result;
}

} // namespace resurgo
