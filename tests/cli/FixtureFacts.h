#pragma once
// What the fixture facts say the search and the restore must produce.

#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

namespace resurgo::test {

class FixtureFacts {
public:
    // (record, name, directory, size) of one listed file.
    using Listed = std::tuple<std::uint64_t, std::string, std::string, std::uint64_t>;

    static const std::vector<std::string>& images();
    // The deleted non-directory entries a search can list: records that
    // lost their last name on deletion (nameless_after_delete) have no name
    // left to show and are not listed.
    static std::vector<nlohmann::json> listable(const nlohmann::json& facts);
    static Listed listed(const nlohmann::json& file);
    static std::set<Listed> listedSet(const std::vector<nlohmann::json>& files);
    // The same four fields from resurgo's JSON output.
    static std::set<Listed> fromOutput(const nlohmann::json& array);
    // Current UTC time in NTFS ticks.
    static std::uint64_t nowNt();
};

} // namespace resurgo::test
