#pragma once
// Writes the bash completion script of a CLI11 command with subcommands:
// the subcommands and the global options first, then each subcommand's
// options; after an option that takes a PATH, file names; after one that
// takes a DIR, directory names; for a positional argument (the SOURCE),
// the block devices of the system (/sys/class/block) and file names.

#include <string>

namespace CLI {
class App;
}

namespace resurgo::cli {

class BashCompletion {
public:
    BashCompletion();
    virtual ~BashCompletion();

    static std::string script(const CLI::App& app);
};

} // namespace resurgo::cli
