#pragma once
// Text at the edge between the engine (UTF-8) and the wide-character Win32
// calls of the dialog (UTF-16).

#include <initializer_list>
#include <string>

namespace resurgo {

class WinText {
public:
    static std::wstring wide(const std::string& utf8);
    static std::string utf8(const std::wstring& text);
    static std::string utf8(const wchar_t* text);
    // text with its first "%s" replaced by name and its first "%u" by count.
    static std::wstring format(const std::wstring& text, const std::wstring& name, unsigned long long count = 0);
    // The same with each "%u" after the name replaced by the next count.
    static std::wstring format(const std::wstring& text, const std::wstring& name,
                               std::initializer_list<unsigned long long> counts);
};

} // namespace resurgo
