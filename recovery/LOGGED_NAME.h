#pragma once
// A file version rebuilt from $LogFile, as far as it names data on the
// volume: where its data began, how long it was, what it was called and
// where. A carved file found at that first cluster, of that size, was this
// file (see CarveNames).

#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/FILE_TIME.h"

namespace resurgo {

struct LOGGED_NAME {
    std::uint64_t record = 0;
    std::uint16_t sequence = 0;
    // The first cluster of its unnamed data (the run at VCN 0), and the
    // data's length in bytes.
    std::uint64_t firstLcn = 0;
    std::uint64_t size = 0;
    // Its shown name, the record number of its directory and that
    // directory's names from below the root down.
    std::string name;
    std::uint64_t parent = 0;
    std::vector<std::string> directory;
    FILE_TIME created;
    FILE_TIME modified;
    FILE_TIME accessed;
    // The search lists this version itself (source "logfile"), which
    // restores it by its runs.
    bool listed = false;
};

} // namespace resurgo
