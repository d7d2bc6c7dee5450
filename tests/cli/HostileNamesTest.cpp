// Names made by whoever made the image, through the real command: control
// bytes, bidirectional controls, a newline, a directory name longer than
// the destination holds, "/" and "\" inside names, and links or files in
// the destination where a restored file or directory goes. Nothing may be
// written outside the destination, and nothing but escapes may reach the
// terminal.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "cli/CliProcess.h"
#include "cli/ExitCode.h"
#include "core/TextUtf.h"
#include "hostile/HostileSupport.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;
namespace fs = std::filesystem;

namespace {

const std::string kClear = "\x1b[2J\x1b]0;title\x07.txt";       // record 68 (small.txt)
const std::string kSpoof = "doc\xE2\x80\xAEtxt.exe\xC2\x9B" "6n";  // record 69: U+202E, C1 CSI
const std::string kBreak = "line\nbreak.txt";                      // record 70
const std::string kSlashes = "a/b\\c";                             // directory 67 (sub/inner)

// 255 × U+4E00: 255 UTF-16 units on NTFS, 765 bytes in UTF-8.
std::string longName() {
    std::string s;
    for (int i = 0; i < 255; ++i) s += "\xE4\xB8\x80";
    return s;
}

// s4096 with hostile names; directory 66 (sub) gets the long name.
const std::string& hostileImage() {
    static const std::string path = [] {
        hostile::Image img = hostile::loadImage("s4096");
        for (auto [record, name] : std::map<std::uint64_t, std::string>{
                 {68, kClear}, {69, kSpoof}, {70, kBreak}, {66, longName()}, {67, kSlashes}}) {
            hostile::renameRecord(img, record, TextUtf::toUtf16(name));
        }
        const std::string out = tempDir("hostile-names-image") + "/hostile.img";
        writeFile(out, img.bytes);
        return out;
    }();
    return path;
}

std::string sha(std::uint64_t record) {
    static const nlohmann::json facts = fixtureFacts("s4096");
    for (const auto& f : facts.at("files")) {
        if (f.at("record") == record) return f.at("sha256");
    }
    return std::string();
}

// Every entry below dir: its content, or where it links to.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> entries;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string key = fs::relative(e.path(), dir).string();
        if (e.is_symlink()) {
            entries[key] = "-> " + fs::read_symlink(e.path()).string();
        } else if (e.is_regular_file()) {
            auto bytes = readFile(e.path().string());
            entries[key] = std::string(bytes.begin(), bytes.end());
        } else {
            entries[key] = "dir";
        }
    }
    return entries;
}

std::size_t lines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

} // namespace

TEST(HostileNames, NothingLeavesTheDestinationAndOnlyEscapesReachTheTerminal) {
    using Args = std::vector<std::string>;
    struct Case {
        const char* what;
        std::function<void(const std::string& dest, const std::string& outside)> setup;
        std::function<Args(const std::string& dest)> args;
        int status;
        std::vector<std::string> shown;  // on stdout or stderr, as escapes
        std::function<void(const std::string& dest, const CliProcess::Result& r)> check;
        bool terminal = true;  // text meant for people (not --json)
    };
    const std::string image = hostileImage();
    const std::string all = "1000000";
    auto linkTo = [](const std::string& target, const std::string& at) { fs::create_symlink(target, at); };
    const std::vector<Case> cases{
        {"the table: one line per file, names escaped",
         nullptr, [&](const std::string&) { return Args{"search", image, "--days", all}; }, 0,
         {"\\x1b[2J\\x1b]0;title\\x07.txt", "doc\\u202etxt.exe\\u009b6n", "line\\x0abreak.txt", "/a/b\\\\c  "},
         [](const std::string&, const CliProcess::Result& r) { EXPECT_EQ(lines(r.out), 1u + 6u + 2u) << r.out; }},
        {"--json: exact names, directories name by name",
         nullptr, [&](const std::string&) { return Args{"search", image, "--days", all, "--json"}; }, 0, {},
         [](const std::string&, const CliProcess::Result& r) {
             const nlohmann::json array = nlohmann::json::parse(r.out);
             std::map<std::uint64_t, nlohmann::json> byRecord;
             for (const auto& o : array) byRecord[o.at("record")] = o;
             EXPECT_EQ(byRecord.at(68).at("name"), kClear);
             EXPECT_EQ(byRecord.at(69).at("name"), kSpoof);
             EXPECT_EQ(byRecord.at(71).at("directory"), longName() + "/" + kSlashes);
             EXPECT_EQ(byRecord.at(71).value("path_components", nlohmann::json()),
                       (std::vector<std::string>{longName(), kSlashes}));
             EXPECT_EQ(byRecord.at(68).value("path_components", nlohmann::json()), std::vector<std::string>{});
         },
         false},
        {"one file where a link leads nowhere: kept",
         [&](const std::string& dest, const std::string& outside) { linkTo(outside + "/made", dest + "/" + kClear); },
         [&](const std::string& dest) { return Args{"restore", image, "--record", "68", "--output", dest + "/"}; },
         cli::kExitExists, {"\\x1b[2J\\x1b]0;title\\x07.txt is a symbolic link"},
         [](const std::string& dest, const CliProcess::Result&) { EXPECT_TRUE(fs::is_symlink(dest + "/" + kClear)); }},
        {"--force replaces that link, never writes through it",
         [&](const std::string& dest, const std::string& outside) { linkTo(outside + "/made", dest + "/" + kClear); },
         [&](const std::string& dest) {
             return Args{"restore", image, "--record", "68", "--output", dest + "/", "--force"};
         },
         0, {"/\\x1b[2J\\x1b]0;title\\x07.txt successfully restored"},
         [](const std::string& dest, const CliProcess::Result&) {
             ASSERT_FALSE(fs::is_symlink(dest + "/" + kClear));
             EXPECT_EQ(sha256Hex(readFile(dest + "/" + kClear)), sha(68));
         }},
        {"--force where a link leads to a file elsewhere",
         [&](const std::string& dest, const std::string& outside) {
             writeFile(outside + "/victim", {'m', 'i', 'n', 'e'});
             linkTo(outside + "/victim", dest + "/" + kBreak);
         },
         [&](const std::string& dest) {
             return Args{"restore", image, "--record", "70", "--output", dest + "/", "--force"};
         },
         0, {"/line\\x0abreak.txt successfully restored"},
         [](const std::string& dest, const CliProcess::Result&) {
             ASSERT_FALSE(fs::is_symlink(dest + "/" + kBreak));
             EXPECT_EQ(sha256Hex(readFile(dest + "/" + kBreak)), sha(70));
         }},
        {"--all: a link takes a file's name, a directory's name is too long",
         [&](const std::string& dest, const std::string& outside) { linkTo(outside + "/made", dest + "/" + kClear); },
         [&](const std::string& dest) { return Args{"restore", image, "--all", "--output-dir", dest, "--days", all}; },
         cli::kExitCopyFailed,
         {"/\\x1b[2J\\x1b]0;title\\x07 (1).txt\n", "/doc\\u202etxt.exe\\u009b6n\n", "3 restored, 0 damaged, 3 failed"},
         [](const std::string& dest, const CliProcess::Result& r) {
             // Each file of the long directory fails at once, for its own reason.
             EXPECT_EQ(lines(r.err), 3u) << r.err;
             std::size_t tooLong = 0;
             for (std::size_t at = r.err.find("File name too long"); at != std::string::npos;
                  at = r.err.find("File name too long", at + 1)) {
                 ++tooLong;
             }
             EXPECT_EQ(tooLong, 3u) << r.err;
             EXPECT_TRUE(fs::is_symlink(dest + "/" + kClear));
             EXPECT_EQ(sha256Hex(readFile(dest + "/\x1b[2J\x1b]0;title\x07 (1).txt")), sha(68));
         }},
        {"--all into a file: the run ends at once",
         [](const std::string& dest, const std::string&) { writeFile(dest + "/file", {'f'}); },
         [&](const std::string& dest) {
             return Args{"restore", image, "--all", "--output-dir", dest + "/file", "--days", all};
         },
         cli::kExitCopyFailed, {"Not a directory"},
         [](const std::string& dest, const CliProcess::Result& r) {
             EXPECT_EQ(lines(r.err), 1u) << r.err;
             EXPECT_EQ(snapshot(dest).size(), 1u);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dest = tempDir("hostile-dest"), outside = tempDir("hostile-outside");
        if (c.setup) c.setup(dest, outside);
        const auto before = snapshot(outside);
        CliProcess::Result r = CliProcess::run(c.args(dest));
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(snapshot(outside), before) << "written outside the destination";
        for (const std::string& text : c.shown) EXPECT_NE((r.out + r.err).find(text), std::string::npos) << text;
        if (c.terminal) {
            for (const char* raw : {"\x1b", "\x07", "\r", "\xC2\x9B", "\xE2\x80\xAE", "\nbreak"}) {
                EXPECT_EQ((r.out + r.err).find(raw), std::string::npos) << "raw bytes reached the terminal";
            }
        }
        if (c.check) c.check(dest, r);
    }
}
