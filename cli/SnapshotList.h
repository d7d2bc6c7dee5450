#pragma once
// `resurgo snapshots SOURCE [--partition N] [--json]`: the shadow copies
// (previous versions) of an NTFS volume, one line each: number (1 = the
// oldest, what restore --snapshot takes), creation time (UTC), identifier
// and the size of the volume the copy shows.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "recovery/SearchJob.h"

namespace resurgo::cli {

class SnapshotList {
public:
    // Returns the exit status.
    static int run(const std::string& source, std::optional<unsigned> partition, bool json, std::ostream& out,
                   std::ostream& err);
    // The table, or the JSON array (number, created, identifier, size).
    static void writeTable(std::ostream& out, const std::vector<SHADOW_STORE>& stores);
    static std::string toJson(const std::vector<SHADOW_STORE>& stores);
    // A copy's creation time as the JSON times are: "2013-12-03T06:35:09Z".
    static std::string createdText(const SHADOW_STORE& store);
};

} // namespace resurgo::cli
