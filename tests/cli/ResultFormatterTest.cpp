// The table's text helper: names, as shown escaped, shortened in the middle
// to a width in terminal columns (wide characters count two, an escape is
// never cut).

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <vector>

#include "cli/ResultFormatter.h"
#include "core/VisibleText.h"

using resurgo::VisibleText;
using resurgo::cli::ResultFormatter;

TEST(ResultFormatter, ShortenMiddleKeepsBothEndsWithinTheWidth) {
    struct Case {
        const char* text;
        std::size_t width;
        const char* expected;
    };
    const Case cases[] = {
        {"abcdefghij", 10, "abcdefghij"},
        {"abcdefghij", 5, "ab\u2026ij"},
        {"abcdefghij", 6, "abc\u2026ij"},
        {"abcdefghij", 1, "\u2026"},
        {"abcdefghij", 0, ""},
        {"日本語のなまえ.txt", 9, "日本\u2026.txt"},     // two columns each: 4 + 1 + 4
        {"日本語のなまえ.txt", 7, "日\u2026txt"},         // a wide character is never half shown
        {"cafe\u0301_noir_long.txt", 8, "cafe\u0301\u2026txt"},  // the accent stays with its letter
    };
    for (const Case& c : cases) {
        const std::string got = ResultFormatter::shortenMiddle(c.text, c.width);
        EXPECT_EQ(got, c.expected) << c.text << " at " << c.width;
        EXPECT_LE(ResultFormatter::displayWidth(got), c.width) << got;
    }
}

TEST(ResultFormatter, ShortenMiddleKeepsEscapesWhole) {
    struct Case {
        const char* name;  // as read off the volume
        std::size_t width;
        const char* expected;  // shown escaped, then shortened
    };
    const Case cases[] = {
        {"\x1b[2Jname_long.txt", 9, "\\x1b\u2026.txt"},
        {"\x1b[2Jname_long.txt", 7, "\u2026txt"},  // the escape does not fit before the ellipsis
        {"name_long.txt\x07", 9, "name\u2026\\x07"},
        {"doc\u202etxt_long.exe", 8, "doc\u2026exe"},
        {"doc\u202etxt_long.exe", 18, "doc\\u202e\u2026long.exe"},
        {"a\\b\\c\\d\\e", 6, "a\\\\\u2026e"},  // an escaped backslash stays two characters
        {"\\x1b_is_no_escape.txt", 9, "\\\\x1\u2026.txt"},
        {"bad\xff\xfe_bytes_here", 14, "bad\\xff\u2026s_here"},
    };
    for (const Case& c : cases) {
        const std::string shown = VisibleText::of(c.name);
        const std::string got = ResultFormatter::shortenMiddle(shown, c.width);
        EXPECT_EQ(got, c.expected) << shown << " at " << c.width;
        EXPECT_LE(ResultFormatter::displayWidth(got), c.width) << got;
    }
}

TEST(ResultFormatter, FittedTableShowsHostileNamesEscapedAndKeepsTheRecoverableColumnLongest) {
    std::vector<resurgo::FOUND_FILE> results;
    results.emplace_back(41, 0, "\x1b]0;owned\x07_and_a_long_tail_of_a_name.txt");
    results.back().setDirectory({"Docs", "\xe2\x80\xae" "evil"});
    results.back().recoverable = 37;
    results.emplace_back(42, 0, "report\xe2\x80\xaetxt.exe");
    results.back().setDirectory({});
    // A carved file's title hint is the disk's text too.
    results.emplace_back(resurgo::FOUND_FILE::kNoRecord, 0, "8192.pdf");
    results.back().carvedType = "pdf";
    results.back().hint = std::make_shared<const resurgo::CARVE_HINT>(resurgo::CARVE_HINT{"", "\x1b[2Jtitle\xe2\x80\xae"});
    struct Case {
        std::size_t width;
        bool recoverable, created;  // whether the columns are shown
    };
    for (const Case& c : {Case{0, true, true}, Case{200, true, true}, Case{80, true, false}, Case{60, false, false}}) {
        std::ostringstream out;
        ResultFormatter::writeTable(out, results, c.width);
        const std::string table = out.str();
        SCOPED_TRACE(table);
        const std::string header = table.substr(0, table.find('\n'));
        EXPECT_EQ(header.find("Recoverable") != std::string::npos, c.recoverable) << c.width;
        EXPECT_EQ(header.find("Created") != std::string::npos, c.created) << c.width;
        EXPECT_EQ(table.find("37%") != std::string::npos, c.recoverable) << c.width;
        // Nothing reaches the terminal raw; every row keeps to its line.
        EXPECT_EQ(table.find('\x1b'), std::string::npos);
        EXPECT_EQ(table.find('\x07'), std::string::npos);
        EXPECT_EQ(table.find("\xe2\x80\xae"), std::string::npos);
        EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 4);
        EXPECT_NE(table.find(c.width == 0 ? "\\x1b]0;owned\\x07_and" : "\\x1b"), std::string::npos) << c.width;
        if (c.width == 0) continue;
        for (std::size_t from = 0, end; (end = table.find('\n', from)) != std::string::npos; from = end + 1) {
            EXPECT_LE(ResultFormatter::displayWidth(table.substr(from, end - from)), c.width);
        }
    }
}
