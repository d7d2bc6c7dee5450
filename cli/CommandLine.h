#pragma once
// The resurgo command: parses the command line (CLI11) and runs the
// search, restore or drives subcommand. Its definitions (options and their
// help, usage forms, examples, exit statuses) are the one source of
// `resurgo --help`, the man page and the bash completion.

#include <istream>
#include <optional>
#include <ostream>
#include <string>

namespace CLI {
class App;
}

namespace resurgo {
class DeviceSource;
class FileProbe;
} // namespace resurgo

namespace resurgo::cli {

class CommandLine {
public:
    // devices and probe: the system's unless a test passes its own.
    CommandLine(std::ostream& out, std::ostream& err, std::istream& in, DeviceSource* devices = nullptr,
                FileProbe* probe = nullptr);
    virtual ~CommandLine();

    // Returns the exit status.
    int run(int argc, const char* const* argv);

    // The exit statuses as `resurgo --help` lists them.
    static std::string exitCodeHelp();

    // The man page resurgo(1) in roff; date: YYYY-MM-DD for its title line.
    static std::string manPage(const std::string& date);
    // The bash completion script.
    static std::string bashCompletion();

private:
    struct Arguments;
    // Defines the command, its subcommands and options on app, bound to args.
    static void define(CLI::App& app, Arguments& args);
    static void defineRestore(CLI::App& app, Arguments& args);
    // restore's --snapshot and --snapshots, and what they go with.
    static void defineRestoreRecordless(CLI::App& restoreCmd, Arguments& args);
    static void defineRestoreSnapshots(CLI::App& restoreCmd, Arguments& args);
    static void defineListings(CLI::App& app, Arguments& args);
    // The subcommands, after the parse: check what the parser left to them
    // and run; each returns the exit status.
    int runSearch(Arguments& a);
    int runRestore(Arguments& a);
    int runBatch(Arguments& a, FileProbe& probe, std::optional<unsigned> partition);
    int runOne(Arguments& a, FileProbe& probe, std::optional<unsigned> partition);
    int runSnapshots(Arguments& a);
    int runDrives(Arguments& a);
    int runInfo(Arguments& a);

    std::ostream& out_;
    std::ostream& err_;
    std::istream& in_;
    DeviceSource* devices_;
    FileProbe* probe_;
};

} // namespace resurgo::cli
