// The man page and the bash completion made from the command's definitions:
// the page formats without groff warnings and documents everything that
// `--help` lists; the usage forms name every option; the completion script,
// run by bash, offers what each position takes.

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ResurgoVersion.h"
#include "cli/CliProcess.h"
#include "cli/CommandLine.h"
#include "cli/ExitCode.h"
#include "support/TestSupport.h"

namespace resurgo::test {
namespace {

struct Shell {
    int status = -1;
    std::string out;
};

// Runs a /bin/sh command line; standard error goes to standard output.
Shell shell(const std::string& command) {
    Shell r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, p)) > 0) r.out.append(buffer, got);
    r.status = ::pclose(p);
    return r;
}

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// The options that a --help text lists in its Options/Flags section
// (lines that start with an indented dash).
std::set<std::string> helpOptions(const std::string& help) {
    std::set<std::string> names;
    static const std::regex optionLine(R"(^\s+(-\S.*?)(\s{2,}|$))");
    static const std::regex name(R"((^|[\s,])(--?[a-z][a-z-]*))");
    for (const std::string& line : lines(help)) {
        std::smatch m;
        if (!std::regex_search(line, m, optionLine)) continue;
        std::string head = m[1];
        for (std::sregex_iterator it(head.begin(), head.end(), name), end; it != end; ++it) names.insert((*it)[2]);
    }
    return names;
}

const char* const kSubcommands[] = {"", "search", "restore", "drives"};

TEST(CommandDocs, ManPageFormatsCleanlyAndDocumentsEveryOptionOfHelp) {
    const std::string dir = tempDir("man-page");
    const std::string page = dir + "/resurgo.1";
    writeText(page, cli::CommandLine::manPage("2026-01-01"));

    Shell warnings = shell("groff -man -ww -z -Tutf8 " + quote(page));
    EXPECT_EQ(warnings.status, 0);
    EXPECT_EQ(warnings.out, "") << "groff warns";

    Shell text = shell("groff -man -Tascii -P-cbou " + quote(page));
    ASSERT_EQ(text.status, 0) << text.out;
    for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "OPTIONS", "EXIT STATUS", "EXAMPLES"}) {
        EXPECT_NE(text.out.find("\n" + std::string(section) + "\n"), std::string::npos) << section;
    }
    for (const char* sub : kSubcommands) {
        std::vector<std::string> args;
        if (*sub != '\0') args.push_back(sub);
        args.push_back("--help");
        CliProcess::Result help = CliProcess::run(args);
        ASSERT_EQ(help.status, 0) << sub;
        std::set<std::string> options = helpOptions(help.out);
        EXPECT_FALSE(options.empty()) << sub;
        for (const std::string& option : options) {
            EXPECT_NE(text.out.find(option), std::string::npos) << "`resurgo " << sub << " --help` lists " << option;
        }
        if (*sub != '\0') {
            EXPECT_NE(text.out.find("resurgo " + std::string(sub) + "\n"), std::string::npos) << sub;
        }
    }
    // Every exit status with its meaning, and the version.
    for (const cli::ExitStatusMeaning& s : cli::kExitStatusMeanings) {
        EXPECT_TRUE(std::regex_search(text.out, std::regex("\n +" + std::to_string(s.code) + "\\s+[a-z]"))) << s.code;
    }
    EXPECT_NE(text.out.find("resurgo " RESURGO_VERSION_TEXT), std::string::npos);
}

TEST(CommandDocs, VersionAndUsageFormsFollowTheDefinitions) {
    CliProcess::Result version = CliProcess::run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "resurgo " RESURGO_VERSION_TEXT "\n");

    // `resurgo --help` lists the forms; each option of a subcommand shows in one of its forms.
    const std::string top = CliProcess::run({"--help"}).out;
    for (const char* sub : {"search", "restore", "drives"}) {
        std::string forms;
        for (const std::string& line : lines(top)) {
            if (line.rfind("  resurgo " + std::string(sub) + " ", 0) == 0) forms += line + ' ';
            if (line.find("|" + std::string(sub)) != std::string::npos ||
                line.find(std::string(sub) + "|") != std::string::npos) {
                forms += line + ' ';
            }
        }
        EXPECT_FALSE(forms.empty()) << sub;
        for (const std::string& option : helpOptions(CliProcess::run({sub, "--help"}).out)) {
            if (option.rfind("--", 0) != 0 || option == "--help") continue;
            EXPECT_TRUE(std::regex_search(forms, std::regex(option + "[ \\]]"))) << sub << ' ' << option;
        }
    }
}

TEST(CommandDocs, CompletionOffersWhatEachPositionTakes) {
    const std::string dir = tempDir("completion");
    const std::string script = dir + "/resurgo";
    writeText(script, cli::CommandLine::bashCompletion());
    writeText(dir + "/image.img", "x");
    ASSERT_EQ(shell("mkdir " + quote(dir + "/images")).status, 0);

    std::string firstDevice;
    Shell devices = shell("ls /sys/class/block 2>/dev/null | head -n 1");
    if (!devices.out.empty()) firstDevice = "/dev/" + devices.out.substr(0, devices.out.find('\n'));

    struct Case {
        std::vector<std::string> words;  // the last one is being completed
        std::vector<std::string> expected;
        bool exact;
    };
    const std::vector<Case> cases = {
        {{""}, {"drives", "info", "partitions", "restore", "search", "snapshots"}, true},
        {{"--"}, {"--help", "--version"}, true},
        {{"search", "--"},
         {"--carve", "--days", "--deep", "--help", "--json", "--key-file", "--min-recoverable", "--partition",
          "--password", "--pattern", "--recovery-password", "--snapshots", "--verify", "--wide"},
         true},
        {{"restore", "x.img", "--n"}, {"--name"}, true},
        {{"partitions", dir + "/image."}, {dir + "/image.img"}, true},
        {{"restore", "x.img", "--output-"}, {"--output-dir"}, true},
        {{"search", dir + "/ima"}, {dir + "/image.img", dir + "/images"}, true},
        {{"search", "--json", dir + "/image."}, {dir + "/image.img"}, true},
        {{"restore", "x.img", "--output-dir", dir + "/ima"}, {dir + "/images"}, true},
        {{"restore", "x.img", "-o", dir + "/image."}, {dir + "/image.img"}, true},
        {{"search", "--pattern", ""}, {}, true},
        {{"search", "x.img", "--j"}, {"--json"}, true},
        {{"drives", ""}, {"--help", "--json", "-h"}, true},
        {{"search", "/dev/"}, firstDevice.empty() ? std::vector<std::string>{} : std::vector<std::string>{firstDevice},
         false},
    };
    for (const Case& c : cases) {
        std::string words = "resurgo";
        for (const std::string& w : c.words) words += ' ' + quote(w);
        Shell r = shell("bash -c " + quote(". " + quote(script) + "; COMP_WORDS=(" + words +
                                            "); COMP_CWORD=" + std::to_string(c.words.size()) +
                                            "; _resurgo; printf '%s\\n' \"${COMPREPLY[@]}\""));
        ASSERT_EQ(r.status, 0) << r.out;
        std::set<std::string> got;
        for (const std::string& line : lines(r.out)) {
            if (!line.empty()) got.insert(line);
        }
        const std::set<std::string> want(c.expected.begin(), c.expected.end());
        if (c.exact) {
            EXPECT_EQ(got, want) << words;
        } else {
            EXPECT_TRUE(std::includes(got.begin(), got.end(), want.begin(), want.end())) << words;
        }
    }
}

} // namespace
} // namespace resurgo::test
