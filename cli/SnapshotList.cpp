#include "cli/SnapshotList.h"

#include <algorithm>

#include "cli/ExitCode.h"
#include "cli/FailureReport.h"
#include "cli/SearchCommand.h"
#include "cli/SourceChoice.h"
#include "recovery/FOUND_FILE.h"
#include "recovery/SourceStack.h"

namespace resurgo::cli {

std::string SnapshotList::createdText(const SHADOW_STORE& store) { return FILE_TIME::fromUtc(store.created).isoUtc(); }

void SnapshotList::writeTable(std::ostream& out, const std::vector<SHADOW_STORE>& stores) {
    // The identifier is hex digits and dashes, the time digits: nothing to escape.
    const std::string titles[] = {"Snapshot", "Created (UTC)", "Identifier", "Size"};
    std::vector<std::vector<std::string>> rows;
    for (const SHADOW_STORE& s : stores) {
        rows.push_back({std::to_string(s.number), createdText(s), s.identifier, std::to_string(s.volumeSize)});
    }
    std::size_t widths[4];
    for (std::size_t c = 0; c < 4; ++c) {
        widths[c] = titles[c].size();
        for (const auto& row : rows) widths[c] = std::max(widths[c], row[c].size());
    }
    auto line = [&](const std::string* cells) {
        std::string text;
        for (std::size_t c = 0; c < 4; ++c) {
            std::string cell = cells[c];
            // Numbers to the right.
            if (c == 0 || c == 3) {
                cell.insert(0, widths[c] - cell.size(), ' ');
            } else {
                cell.append(widths[c] - cell.size(), ' ');
            }
            text += (c == 0 ? "" : "  ") + cell;
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out << text << '\n';
    };
    line(titles);
    for (const auto& row : rows) line(row.data());
}

std::string SnapshotList::toJson(const std::vector<SHADOW_STORE>& stores) {
    std::string text = "[";
    for (std::size_t i = 0; i < stores.size(); ++i) {
        const SHADOW_STORE& s = stores[i];
        text += (i == 0 ? "\n" : ",\n");
        text += "  {\"number\":" + std::to_string(s.number) + ",\"created\":\"" + createdText(s) +
                "\",\"identifier\":\"" + s.identifier + "\",\"size\":" + std::to_string(s.volumeSize) + "}";
    }
    return text + (stores.empty() ? "]" : "\n]");
}

int SnapshotList::run(const std::string& source, std::optional<unsigned> partition, bool json, std::ostream& out,
                      std::ostream& err) {
    SourceStack stack;
    if (int status = SourceChoice::open(stack, source, partition, err, false); status != kExitOk) return status;
    const std::string shown = SearchCommand::shownSource(source, stack.partition());
    SearchJob job;
    job.driveRoot = shown;
    job.useSource(stack.volume());
    if (!job.readSnapshots()) {
        err << "resurgo: " << shown << " can't be read: " << FailureReport::reason(*job.failure()) << '\n';
        return kExitOpenFailed;
    }
    for (const std::string& w : job.snapshotWarnings()) err << "resurgo: warning: " << w << '\n';
    if (json) {
        out << toJson(job.snapshots()) << '\n';
    } else if (job.snapshots().empty()) {
        out << (job.snapshotWarnings().empty() ? shown + " has no shadow copies.\n"
                                               : "No shadow copy of " + shown + " could be read.\n");
    } else {
        writeTable(out, job.snapshots());
    }
    return kExitOk;
}

} // namespace resurgo::cli
