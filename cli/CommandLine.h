#pragma once
// The resurgo command: parses the command line (CLI11) and runs the
// search, restore or drives subcommand.

#include <istream>
#include <ostream>
#include <string>

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

private:
    std::ostream& out_;
    std::ostream& err_;
    std::istream& in_;
    DeviceSource* devices_;
    FileProbe* probe_;
};

} // namespace resurgo::cli
