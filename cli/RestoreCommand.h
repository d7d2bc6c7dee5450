#pragma once
// `resurgo restore SOURCE --record N|--offset X|--name PATTERN --output PATH
// [--force]`: restores the deleted file of one MFT record, of the record at
// a byte offset, or the one deleted file whose name matches, with the
// checks of the desktop restore (same source, existing file, free space)
// and its messages.

#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>
#include <string>

#include "cli/FileCopy.h"
#include "recovery/SystemServices.h"

namespace resurgo {
class SearchJob;
class SourceStack;
} // namespace resurgo

namespace resurgo::cli {

class RestoreCommand {
public:
    struct Options {
        std::string source;
        std::uint64_t record = 0;
        // Restore the file whose record starts at this byte of the source
        // instead (as `search --json` lists it, also after --deep).
        std::optional<std::uint64_t> offset;
        // With record: the version of it that $LogFile keeps (a search's
        // row marked "from the journal").
        bool logged = false;
        // With offset: the file a carve finds there (search --carve).
        bool carved = false;
        // The file by its name instead of its record (a search pattern):
        // restored when it is the only match, else the matches are listed.
        std::optional<std::string> name;
        std::int32_t days = 1000000;  // with name: any age
        bool deep = false;            // with name: the matches of a deep search
        std::size_t width = 0;        // columns for the list of matches (0: no limit)
        std::string output;  // a file path, or an existing directory to restore into
        bool force = false;
        std::optional<unsigned> partition;
        // Read shadow copy n (1 = the oldest) instead of the volume; 0: the volume.
        unsigned snapshot = 0;
    };

    explicit RestoreCommand(FileProbe& probe);
    virtual ~RestoreCommand();

    // interactive: the user can be asked (standard input is a terminal);
    // the question is read from in and written to err. Returns the exit
    // status.
    int run(const Options& options, std::ostream& out, std::ostream& err, std::istream& in, bool interactive);

private:
    // The one deleted file options.name matches, by record (and offset
    // after a deep search); else lists the matches or says none was found.
    int findByName(SearchJob& job, const Options& options, const std::string& source, bool deep, std::ostream& err,
                   std::uint64_t& record, std::optional<std::uint64_t>& offset);
    // Checks that the volume has shadow copy n; else says so.
    static int checkSnapshot(SearchJob& job, unsigned n, const std::string& source, std::ostream& err);
    // What the restore rules say of target: on the source, taken (asks or
    // refuses), no room. taken: something has the name.
    int checkDestination(const Options& options, const SourceStack& stack, FileCopy& copier, const std::string& target,
                         std::ostream& err, std::istream& in, bool interactive, bool& taken);
    // Says what was written; returns the exit status.
    static int report(FileCopy& copier, FileCopy::Result result, const std::string& shownTarget, std::ostream& out,
                      std::ostream& err);

    FileProbe& probe_;
};

} // namespace resurgo::cli
