// Names made for restored files from hostile names: each one must name one
// ordinary entry of the directory it is made in, on POSIX and on Windows;
// and the directory names of the engine's path text, exact.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recovery/FOUND_FILE.h"
#include "recovery/OutputName.h"

using namespace resurgo;

TEST(OutputName, HostileNamesBecomeOneOrdinaryName) {
    struct Case {
        std::string name, posix, windows;
    };
    const std::string rlo = "\xE2\x80\xAE";  // U+202E
    for (const Case& c : std::vector<Case>{
             {"report.txt", "report.txt", "report.txt"},
             {"..\\..\\..\\..\\PWNED_BS", "..\\..\\..\\..\\PWNED_BS", "_.__.__.__._PWNED_BS"},
             {"../../etc/passwd", ".._.._etc_passwd", "_.__._etc_passwd"},
             {"..", "_..", "__"},
             {".", "_.", "_"},
             {"", "_", "_"},
             {"a..b.txt", "a..b.txt", "a_.b.txt"},
             {".profile", ".profile", ".profile"},
             {"CON", "CON", "_CON"},
             {"con.txt", "con.txt", "_con.txt"},
             {"NUL .tar.gz", "NUL .tar.gz", "_NUL .tar.gz"},
             {"COM1", "COM1", "_COM1"},
             {"lpt9.log", "lpt9.log", "_lpt9.log"},
             {"COM\xC2\xB9", "COM\xC2\xB9", "_COM\xC2\xB9"},
             {"COM10", "COM10", "COM10"},
             {"CONSOLE.txt", "CONSOLE.txt", "CONSOLE.txt"},
             {"name. ", "name. ", "name__"},
             {"data.txt:hidden", "data.txt:hidden", "data.txt_hidden"},
             {"a<b>c|d?e*f\"g", "a<b>c|d?e*f\"g", "a_b_c_d_e_f_g"},
             {"\x1b[2Jx\x07", "\x1b[2Jx\x07", "_[2Jx_"},
             {"line\nbreak\x7f", "line\nbreak\x7f", "line_break_"},
             {"\xC2\x9B" "31m", "\xC2\x9B" "31m", "_31m"},
             {"doc" + rlo + "txt.exe", "doc" + rlo + "txt.exe", "doc_txt.exe"},
             {std::string("nul\0l", 5), "nul_l", "nul_l"},
             {"\xC3" "cut", "\xC3" "cut", "_cut"},
             {"日本語.txt", "日本語.txt", "日本語.txt"},
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(OutputName::posix(c.name), c.posix);
        EXPECT_EQ(OutputName::windows(c.name), c.windows);
    }
}

TEST(OutputName, NumbersGoBeforeTheLastExtension) {
    EXPECT_EQ(OutputName::numbered("report.txt", 1), "report (1).txt");
    EXPECT_EQ(OutputName::numbered("archive.tar.gz", 2), "archive.tar (2).gz");
    EXPECT_EQ(OutputName::numbered(".profile", 1), ".profile (1)");
    EXPECT_EQ(OutputName::numbered("README", 3), "README (3)");
}
