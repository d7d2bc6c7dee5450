#include "cli/CommandLine.h"

#include <memory>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "cli/ArgumentCheck.h"
#include "cli/BatchRestore.h"
#include "cli/CancelSignal.h"
#include "cli/DriveTable.h"
#include "cli/ExitCode.h"
#include "cli/RestoreCommand.h"
#include "cli/SearchCommand.h"
#include "cli/SystemDeviceSource.h"
#include "cli/SystemFileProbe.h"
#include "cli/Terminal.h"
#include "cli/TerminalProgress.h"

namespace resurgo::cli {

CommandLine::CommandLine(std::ostream& out, std::ostream& err, std::istream& in, DeviceSource* devices,
                         FileProbe* probe)
    : out_(out), err_(err), in_(in), devices_(devices), probe_(probe) {}

CommandLine::~CommandLine() = default;

std::string CommandLine::exitCodeHelp() {
    return "Exit status:\n"
           "    0  done (a search that ran, also when nothing matched; a file restored)\n"
           "    1  unexpected internal error\n"
           "    2  invalid command line (also --days outside 0..1000000, a pattern over 255 characters)\n"
           "    3  the source could not be opened (the system's reason is shown)\n"
           "    4  bad boot record: the source is not a readable NTFS volume\n"
           "    5  bad NTFS drive: the volume's MFT could not be opened\n"
           "    6  the search stopped early on a read failure; the files found before are listed\n"
           "    7  restore: the record is damaged (it, or the file's name or size, can't be read)\n"
           "    8  restore: the destination lies on the source; nothing was written\n"
           "    9  restore: the destination exists and was kept (use --force to overwrite)\n"
           "   10  restore: not enough free space at the destination\n"
           "   11  restore: the copy failed (a partly written file stays); --all: some files failed\n"
           "   12  restore: written, but damaged compressed units were filled with zeros\n"
           "   13  restore: no such record (the number lies beyond the end of the MFT)\n"
           "   14  restore: the record is in use: its file is not deleted\n"
           "   15  restore: the record is a directory\n"
           "  130  cancelled with Ctrl-C; a search lists what it found until then\n";
}

int CommandLine::run(int argc, const char* const* argv) {
    CLI::App app{"Resurgo for NTFS: finds deleted files on an NTFS volume (an image file or a block device)\n"
                 "and restores them. The source is only ever read.",
                 "resurgo"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "resurgo 1.0.0");
    app.footer("Examples:\n"
               "  resurgo search disk.img --days 30\n"
               "  resurgo search /dev/sdb1 --pattern '*.docx' --days 365 --json\n"
               "  resurgo restore disk.img --record 74 --output ~/letter.txt\n"
               "  resurgo restore /dev/sdb1 --all --output-dir ~/recovered --days 7\n"
               "  resurgo drives\n\n" +
               exitCodeHelp());

    // search
    SearchCommand::Options search;
    std::string searchDays = "1";
    CLI::App* searchCmd = app.add_subcommand("search", "List the deleted files on SOURCE");
    searchCmd->add_option("SOURCE", search.source, "NTFS image file or block device")->required()->type_name("PATH");
    searchCmd->add_option("--pattern,-p", search.pattern, "File name pattern: * any run of characters, ? one character, "
                                                          "case-insensitive (at most 255 characters)")
        ->capture_default_str()
        ->type_name("PATTERN");
    searchCmd->add_option("--days,-d", searchDays,
                          "Only files modified or created within the last N days (0 to 1000000)")
        ->capture_default_str()
        ->type_name("N");
    searchCmd->add_flag("--json", search.json, "Print one JSON array (record order) instead of the table");
    searchCmd->footer(exitCodeHelp());

    // restore
    std::string source;
    std::string recordText;
    std::string output;
    std::string outputDir;
    std::string pattern = "*";
    std::string restoreDays = "1";
    bool force = false;
    bool all = false;
    CLI::App* restoreCmd = app.add_subcommand("restore", "Restore deleted files from SOURCE");
    restoreCmd->add_option("SOURCE", source, "NTFS image file or block device")->required()->type_name("PATH");
    CLI::Option* recordOpt =
        restoreCmd->add_option("--record,-r", recordText, "MFT record number of the file (as `search --json` lists it)")
            ->type_name("N");
    CLI::Option* outputOpt =
        restoreCmd->add_option("--output,-o", output, "Destination file (or an existing directory to write into)")
            ->type_name("PATH");
    CLI::Option* forceOpt = restoreCmd->add_flag("--force,-f", force, "Overwrite an existing destination file");
    CLI::Option* allOpt = restoreCmd->add_flag("--all", all, "Restore every file the search finds");
    CLI::Option* dirOpt = restoreCmd->add_option("--output-dir", outputDir,
                                                 "With --all: directory that receives the files and their directories")
                                ->type_name("DIR");
    CLI::Option* patternOpt =
        restoreCmd->add_option("--pattern,-p", pattern, "With --all: file name pattern")
            ->capture_default_str()
            ->type_name("PATTERN");
    CLI::Option* daysOpt =
        restoreCmd->add_option("--days,-d", restoreDays, "With --all: age limit in days (0 to 1000000)")
            ->capture_default_str()
            ->type_name("N");
    recordOpt->excludes(allOpt);
    recordOpt->needs(outputOpt);
    outputOpt->needs(recordOpt);
    forceOpt->needs(recordOpt);
    allOpt->needs(dirOpt);
    dirOpt->needs(allOpt);
    patternOpt->needs(allOpt);
    daysOpt->needs(allOpt);
    restoreCmd->footer(exitCodeHelp());

    // drives
    bool drivesJson = false;
    CLI::App* drivesCmd = app.add_subcommand("drives", "List the fixed block devices that hold NTFS");
    drivesCmd->add_flag("--json", drivesJson, "Print one JSON array");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e, out_, err_);
        return rc == 0 ? kExitOk : kExitUsage;
    }

    std::string problem;
    if (searchCmd->parsed()) {
        if (!ArgumentCheck::parseDays(searchDays, search.days, problem) ||
            !ArgumentCheck::checkPattern(search.pattern, problem)) {
            err_ << "resurgo search: " << problem << '\n';
            return kExitUsage;
        }
        std::unique_ptr<TerminalProgress> bar;
        if (Terminal::isTerminal(STDERR_FILENO)) bar = std::make_unique<TerminalProgress>(err_, "Searching");
        CancelSignal cancel;
        int rc = SearchCommand().run(search, out_, err_, bar.get(), CancelSignal::flag());
        if (bar) bar->finish();
        return rc;
    }

    if (restoreCmd->parsed()) {
        SystemFileProbe systemProbe;
        FileProbe& probe = probe_ ? *probe_ : systemProbe;
        if (all) {
            BatchRestore::Options options;
            options.source = source;
            options.outputDir = outputDir;
            options.pattern = pattern;
            if (!ArgumentCheck::parseDays(restoreDays, options.days, problem) ||
                !ArgumentCheck::checkPattern(options.pattern, problem)) {
                err_ << "resurgo restore: " << problem << '\n';
                return kExitUsage;
            }
            std::unique_ptr<TerminalProgress> bar;
            if (Terminal::isTerminal(STDERR_FILENO)) bar = std::make_unique<TerminalProgress>(err_, "Restoring");
            CancelSignal cancel;
            return BatchRestore(probe).run(options, out_, err_, bar.get(), CancelSignal::flag());
        }
        if (recordText.empty()) {
            err_ << "resurgo restore: give --record N --output PATH, or --all --output-dir DIR\n";
            return kExitUsage;
        }
        RestoreCommand::Options options;
        options.source = source;
        options.output = output;
        options.force = force;
        if (!ArgumentCheck::parseRecord(recordText, options.record, problem)) {
            err_ << "resurgo restore: " << problem << '\n';
            return kExitUsage;
        }
        return RestoreCommand(probe).run(options, out_, err_, in_, Terminal::isTerminal(STDIN_FILENO));
    }

    if (drivesCmd->parsed()) {
        SystemDeviceSource systemDevices;
        DriveTable table(devices_ ? *devices_ : systemDevices);
        table.load();
        if (drivesJson) {
            out_ << table.toJson().dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        } else {
            table.writeTable(out_);
        }
        table.reportDenied(err_);
        return kExitOk;
    }
    return kExitUsage;
}

} // namespace resurgo::cli
