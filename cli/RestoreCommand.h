#pragma once
// `resurgo restore SOURCE --record N|--name PATTERN --output PATH [--force]`:
// restores the deleted file of one MFT record, or the one deleted file
// whose name matches, with the checks of the desktop restore (same source,
// existing file, free space) and its messages.

#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>
#include <string>

#include "platform/FileProbe.h"

namespace resurgo::cli {

class RestoreCommand {
public:
    struct Options {
        std::string source;
        std::uint64_t record = 0;
        // The file by its name instead of its record (a search pattern):
        // restored when it is the only match, else the matches are listed.
        std::optional<std::string> name;
        std::int32_t days = 1000000;  // with name: any age
        std::size_t width = 0;        // columns for the list of matches (0: no limit)
        std::string output;  // a file path, or an existing directory to restore into
        bool force = false;
        std::optional<unsigned> partition;
    };

    explicit RestoreCommand(FileProbe& probe);
    virtual ~RestoreCommand();

    // interactive: the user can be asked (standard input is a terminal);
    // the question is read from in and written to err. Returns the exit
    // status.
    int run(const Options& options, std::ostream& out, std::ostream& err, std::istream& in, bool interactive);

private:
    FileProbe& probe_;
};

} // namespace resurgo::cli
