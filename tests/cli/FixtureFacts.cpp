#include "cli/FixtureFacts.h"

#include <chrono>

namespace resurgo::test {

const std::vector<std::string>& FixtureFacts::images() {
    static const std::vector<std::string> names{"basic", "s4096", "c512", "demo", "reuse"};
    return names;
}

std::vector<nlohmann::json> FixtureFacts::listable(const nlohmann::json& facts) {
    std::vector<nlohmann::json> out;
    for (const auto& f : facts.at("files")) {
        if (!f.at("deleted").get<bool>() || f.at("is_dir").get<bool>()) continue;
        if (f.value("nameless_after_delete", false)) continue;
        out.push_back(f);
    }
    return out;
}

FixtureFacts::Listed FixtureFacts::listed(const nlohmann::json& f) {
    return {f.at("record").get<std::uint64_t>(), f.at("name").get<std::string>(),
            f.at("directory").get<std::string>(), f.at("size").get<std::uint64_t>()};
}

std::set<FixtureFacts::Listed> FixtureFacts::listedSet(const std::vector<nlohmann::json>& files) {
    std::set<Listed> s;
    for (const auto& f : files) s.insert(listed(f));
    return s;
}

std::set<FixtureFacts::Listed> FixtureFacts::fromOutput(const nlohmann::json& array) {
    std::set<Listed> s;
    for (const auto& f : array) s.insert(listed(f));
    return s;
}

std::uint64_t FixtureFacts::nowNt() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
    return static_cast<std::uint64_t>(ticks) + 116444736000000000ULL;
}

} // namespace resurgo::test
