#include "ui/WinText.h"

#include "recovery/SystemServices.h"

namespace resurgo {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the Win32 wide character is UTF-16");

std::wstring WinText::wide(const std::string& utf8) {
    std::u16string u = TextUtf::toUtf16(utf8);
    return std::wstring(u.begin(), u.end());
}

std::string WinText::utf8(const std::wstring& text) {
    return TextUtf::fromUtf16(std::u16string(text.begin(), text.end()));
}

std::string WinText::utf8(const wchar_t* text) { return utf8(std::wstring(text ? text : L"")); }

std::wstring WinText::format(const std::wstring& text, const std::wstring& name, unsigned long long count) {
    std::wstring out = text;
    std::size_t at = out.find(L"%s");
    if (at != std::wstring::npos) out.replace(at, 2, name);
    // Search after the inserted name, so that a name holding "%u" stays as it is.
    std::size_t from = at == std::wstring::npos ? 0 : at + name.size();
    at = out.find(L"%u", from);
    if (at != std::wstring::npos) out.replace(at, 2, std::to_wstring(count));
    return out;
}

std::wstring WinText::format(const std::wstring& text, const std::wstring& name,
                             std::initializer_list<unsigned long long> counts) {
    std::wstring out = text;
    std::size_t at = out.find(L"%s");
    if (at != std::wstring::npos) out.replace(at, 2, name);
    std::size_t from = at == std::wstring::npos ? 0 : at + name.size();
    for (unsigned long long count : counts) {
        at = out.find(L"%u", from);
        if (at == std::wstring::npos) break;
        const std::wstring number = std::to_wstring(count);
        out.replace(at, 2, number);
        from = at + number.size();
    }
    return out;
}

} // namespace resurgo
