#include "file/MftRunTable.h"

#include <algorithm>

namespace resurgo {

MftRunTable::MftRunTable() = default;
MftRunTable::~MftRunTable() = default;

void MftRunTable::add(std::uint64_t vcn, std::uint64_t length, std::uint64_t lcn, bool sparse) {
    if (length == 0) return;
    runs_.push_back(Run{vcn, length, lcn, sparse});
}

void MftRunTable::sort() {
    std::stable_sort(runs_.begin(), runs_.end(), [](const Run& a, const Run& b) { return a.vcn < b.vcn; });
}

std::uint64_t MftRunTable::clusterCount() const {
    std::uint64_t end = 0;
    for (const auto& r : runs_) end = std::max(end, r.vcn + r.length);
    return end;
}

const MftRunTable::Run* MftRunTable::find(std::uint64_t vcn) const {
    auto it = std::upper_bound(runs_.begin(), runs_.end(), vcn, [](std::uint64_t v, const Run& r) { return v < r.vcn; });
    if (it == runs_.begin()) return nullptr;
    --it;
    if (vcn - it->vcn < it->length) return &*it;
    return nullptr;
}

} // namespace resurgo
