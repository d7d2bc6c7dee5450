// The table's text helpers: names shortened in the middle to a width in
// terminal columns (wide characters count two), and names that can't
// drive the terminal.

#include <gtest/gtest.h>

#include "cli/ResultFormatter.h"

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

TEST(ResultFormatter, ControlCharactersInNamesAreShownAsQuestionMarks) {
    EXPECT_EQ(ResultFormatter::printable("a\x1b[2Jb\nc\x7f" "d\xc2\x9b" "e"), "a?[2Jb?c?d?e");
    EXPECT_EQ(ResultFormatter::printable("Отпуск_😀.jpg"), "Отпуск_😀.jpg");
}
