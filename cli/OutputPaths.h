#pragma once
// Path texts of the command line's destinations ("/" separators). The
// names inside them are made by recovery/OutputName, the directories and
// files by recovery/OutputDirectory.

#include <string>

namespace resurgo::cli {

class OutputPaths {
public:
    static std::string join(const std::string& directory, const std::string& name);
    // The parent directory of a path ("." when it has none).
    static std::string parentOf(const std::string& path);
};

} // namespace resurgo::cli
