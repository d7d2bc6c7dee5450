// The program's entry point: loads the texts and icons, checks the system
// and the user's rights, initialises the common controls and OLE and runs
// the main dialog until the user leaves it.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include "recovery/SystemServices.h"
#include "resources/ResourceIds.h"
#include "resources/StringTable.h"
#include "ui/Implementation.h"

namespace {

// The one dialog controller, for the whole run.
resurgo::Implementation theImplementation;

std::wstring loadText(HINSTANCE module, unsigned id) {
    const wchar_t* text = nullptr;
    int length = ::LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) return std::wstring();
    return std::wstring(text, static_cast<std::size_t>(length));
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    using resurgo::reportInternalError;

    const std::wstring name = loadText(instance, IDS_STRING_APP_NAME);
    if (name.empty()) reportInternalError("WinMain: string IDS_STRING_APP_NAME not found", 0);
    const std::wstring title = loadText(instance, IDS_STRING_APP_TITLE);
    if (title.empty()) reportInternalError("WinMain: string IDS_STRING_APP_TITLE not found", 0);
    theImplementation.setApplication(instance, title, nullptr);

    {
        resurgo::SystemEnvironment system;
        resurgo::RunEnvironment environment(system);
        if (!environment.isSupportedVersion()) {
            theImplementation.ShowMessage(IDS_WRONG_VERSION, MB_OK | MB_ICONEXCLAMATION);
            return 0;
        }
        if (!environment.isLocalAdmin()) {
            theImplementation.ShowMessage(IDS_NOT_ADMIN, MB_OK | MB_ICONEXCLAMATION);
            return 0;
        }
    }

    auto smallIcon = static_cast<HICON>(
        ::LoadImageW(instance, MAKEINTRESOURCEW(IDI_APPICONSM), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    if (smallIcon == nullptr) reportInternalError("WinMain: icon IDI_APPICONSM not found", 0);
    auto largeIcon = static_cast<HICON>(
        ::LoadImageW(instance, MAKEINTRESOURCEW(IDI_APPICON), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    if (largeIcon == nullptr) reportInternalError("WinMain: icon IDI_APPICON not found", 0);
    theImplementation.setApplication(instance, title, smallIcon);

    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_UPDOWN_CLASS |
                     ICC_ANIMATE_CLASS;
    ::InitCommonControlsEx(&controls);

    if (FAILED(::OleInitialize(nullptr))) reportInternalError("WinMain: OleInitialize error", 0);
    if (theImplementation.runDialog(nullptr) == -1) {
        reportInternalError("WinMain: dialog IDD_APPDIALOG not found", 0);
    }
    ::OleUninitialize();
    ::DestroyIcon(largeIcon);
    return 0;
}
