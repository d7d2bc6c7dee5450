#pragma once
// The directories of a restore of many files: each result's directory is
// made below the output directory from its components (each made safe with
// OutputName::local), and the last one stays open for the next file, which
// is most often in the same directory.

#include <optional>
#include <string>
#include <vector>

#include "recovery/OutputDirectory.h"

namespace resurgo {

class OutputTree {
public:
    // Opens root, creating it when missing; raises as OutputDirectory does.
    explicit OutputTree(const std::string& root);
    ~OutputTree();
    OutputTree(const OutputTree&) = delete;
    OutputTree& operator=(const OutputTree&) = delete;

    OutputDirectory& root() { return root_; }
    // The directory that receives a result whose directory text is
    // directory and whose directory names, from below the root down, are
    // components (as FOUND_FILE holds them); the text keys the cache of the
    // last directory. Raises as
    // OutputDirectory::enter does; failedPath() then names the directory
    // that could not be made or opened, and failedInRoot() says whether it
    // was to be right in the root.
    OutputDirectory& directoryFor(const std::string& directory, const std::vector<std::string>& components);
    const std::string& failedPath() const { return failedPath_; }
    bool failedInRoot() const { return failedInRoot_; }

private:
    OutputDirectory root_;
    std::optional<OutputDirectory> below_;
    std::string belowText_;
    std::string failedPath_;
    bool failedInRoot_ = false;
};

} // namespace resurgo
