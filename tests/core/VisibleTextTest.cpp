// Untrusted text on its way to a terminal: nothing that a terminal would
// act on, or that would change how the line reads, gets through unescaped.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/VisibleText.h"

using namespace resurgo;

TEST(VisibleText, ControlsBidiAndMalformedBytesAreShownAsEscapes) {
    struct Case {
        std::string text, shown;
    };
    for (const Case& c : std::vector<Case>{
             {"plain name.txt", "plain name.txt"},
             {"日本語 café 😀", "日本語 café 😀"},
             {"\x1b[2J", "\\x1b[2J"},
             {"\x1b]0;title\x07", "\\x1b]0;title\\x07"},
             {"\x1b]52;c;cHduZWQ=\x07", "\\x1b]52;c;cHduZWQ=\\x07"},
             {"a\nb\r\tc\x7f", "a\\x0ab\\x0d\\x09c\\x7f"},
             {std::string("nul\0x", 5), "nul\\x00x"},
             {"\xC2\x9B" "6n", "\\u009b6n"},
             {"doc\xE2\x80\xAEtxt.exe", "doc\\u202etxt.exe"},
             {"\xE2\x81\xA6x\xE2\x80\x8F\xD8\x9C\xE2\x80\xA8", "\\u2066x\\u200f\\u061c\\u2028"},
             {"back\\slash", "back\\\\slash"},
             {"\\x1b", "\\\\x1b"},
             {"cut\xC3", "cut\\xc3"},
             {"\xFF\xC0\x80", "\\xff\\xc0\\x80"},
             {"\xED\xA0\x80", "\\xed\\xa0\\x80"},  // a surrogate in UTF-8
         }) {
        SCOPED_TRACE(c.shown);
        EXPECT_EQ(VisibleText::of(c.text), c.shown);
    }
}
