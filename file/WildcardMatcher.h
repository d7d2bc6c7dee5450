#pragma once
// File-name patterns of a search: '*' any run of characters (also none),
// '?' exactly one character, anything else literal; case-insensitive with
// simple case folding over code points.

#include <cstddef>
#include <string>

namespace resurgo {

class WildcardMatcher {
public:
    // Longest pattern the search accepts (characters).
    static constexpr std::size_t kMaxPatternLength = 255;

    // The pattern as folded code points, ready for match.
    static std::u32string foldPattern(const std::string& pattern);
    static bool match(const std::u32string& foldedPattern, const std::string& name);
    static bool match(const std::string& pattern, const std::string& name);
};

} // namespace resurgo
