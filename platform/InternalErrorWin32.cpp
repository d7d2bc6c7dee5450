// The internal-error report on Win32: a modal message box, then the process ends.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdlib>

#include "platform/InternalError.h"
#include "core/TextUtf.h"
#include "platform/Platform.h"

namespace resurgo {

void reportInternalError(const char* text, std::int32_t code) {
    std::uint32_t lastError = ::GetLastError();
    std::string report = composeInternalErrorReport(text ? text : "", lastError, code,
                                                    systemPlatform().errorText(lastError));
    std::u16string w = TextUtf::toUtf16(report);
    ::MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(w.c_str()), L"Resurgo internal error",
                  MB_OK | MB_ICONERROR);
    std::exit(0);
}

} // namespace resurgo
