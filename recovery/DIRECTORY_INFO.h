#pragma once
// A directory met while rebuilding paths: its path and the names in it
// (once built), its name and its parent.

#include <memory>
#include <string>
#include <vector>

#include "ntfs/FILE_REFERENCE.h"

namespace resurgo {

class DIRECTORY_INFO {
public:
    DIRECTORY_INFO() = default;
    DIRECTORY_INFO(std::string path, std::string name, const FILE_REFERENCE& parent)
        : path(std::move(path)), name(std::move(name)), parent(parent) {}
    virtual ~DIRECTORY_INFO() = default;
    DIRECTORY_INFO(const DIRECTORY_INFO&) = default;
    DIRECTORY_INFO& operator=(const DIRECTORY_INFO&) = default;

    std::string path;
    // The names path is made of, from below the root down (none for the
    // root directory): what the results in the directory share.
    std::shared_ptr<const std::vector<std::string>> names;
    std::string name;
    FILE_REFERENCE parent;
};

} // namespace resurgo
