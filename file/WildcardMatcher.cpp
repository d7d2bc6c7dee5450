#include "file/WildcardMatcher.h"

#include "core/TextUtf.h"

namespace resurgo {

std::u32string WildcardMatcher::foldPattern(const std::string& pattern) {
    std::u32string p = TextUtf::toCodePoints(pattern);
    for (auto& c : p) c = TextUtf::foldCase(c);
    return p;
}

bool WildcardMatcher::match(const std::u32string& p, const std::string& nameUtf8) {
    std::u32string n = TextUtf::toCodePoints(nameUtf8);
    for (auto& c : n) c = TextUtf::foldCase(c);
    // Iterative matcher with backtracking to the last '*': linear space,
    // O(pattern × name) time at worst.
    std::size_t i = 0, j = 0;
    std::size_t star = std::u32string::npos, mark = 0;
    while (j < n.size()) {
        if (i < p.size() && p[i] == U'*') {
            star = i++;
            mark = j;
        } else if (i < p.size() && (p[i] == U'?' || p[i] == n[j])) {
            ++i;
            ++j;
        } else if (star != std::u32string::npos) {
            i = star + 1;
            j = ++mark;
        } else {
            return false;
        }
    }
    while (i < p.size() && p[i] == U'*') ++i;
    return i == p.size();
}

bool WildcardMatcher::match(const std::string& pattern, const std::string& name) {
    return match(foldPattern(pattern), name);
}

} // namespace resurgo
