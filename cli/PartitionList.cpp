#include "cli/PartitionList.h"

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "cli/ExitCode.h"
#include "cli/JsonText.h"
#include "cli/ResultFormatter.h"
#include "cli/SourceChoice.h"
#include "cli/TerminalProgress.h"
#include "recovery/SystemServices.h"
#include "recovery/SourceStack.h"

namespace resurgo::cli {

std::string PartitionList::printable(const std::string& text) { return VisibleText::of(text); }

void PartitionList::writeTable(std::ostream& out, const SourceStack& stack, bool withOption) {
    constexpr std::size_t kColumns = 8;
    using Row = std::array<std::string, kColumns>;
    std::vector<Row> rows;
    rows.push_back({"#", "Start", "Size", "Scheme", "Type", "File system", "Label", withOption ? "Use" : ""});
    for (const SourceStack::Partition& p : stack.partitions()) {
        std::string fs = p.filesystem;
        if (p.entry.overlaps != 0) fs += " (overlaps " + std::to_string(p.entry.overlaps) + ")";
        if (p.present == 0) {
            fs += " (past the end)";
        } else if (p.present < p.entry.size) {
            fs += " (cut short)";
        }
        rows.push_back({std::to_string(p.entry.number), std::to_string(p.entry.start), std::to_string(p.entry.size),
                        p.entry.scheme, p.entry.type, fs, printable(p.label),
                        withOption && p.ntfs && p.present > 0 ? "--partition " + std::to_string(p.entry.number) : ""});
    }
    std::array<std::size_t, kColumns> width{};
    for (const Row& r : rows) {
        for (std::size_t c = 0; c < kColumns; ++c) width[c] = std::max(width[c], ResultFormatter::displayWidth(r[c]));
    }
    const std::size_t last = withOption ? kColumns - 1 : kColumns - 2;
    for (const Row& r : rows) {
        std::string line;
        for (std::size_t c = 0; c <= last; ++c) {
            const std::size_t used = ResultFormatter::displayWidth(r[c]);
            const std::string fill(width[c] > used ? width[c] - used : 0, ' ');
            if (c > 0) line += "  ";
            // Numbers right-aligned; the last column is not padded.
            if (c <= 2) {
                line += fill + r[c];
            } else {
                line += r[c] + (c == last ? "" : fill);
            }
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out << line << '\n';
    }
}

std::string PartitionList::toJson(const SourceStack& stack) {
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> w(buffer);
    w.SetIndent(' ', 2);
    w.StartArray();
    for (const SourceStack::Partition& p : stack.partitions()) {
        w.StartObject();
        w.Key("number");
        w.Uint(p.entry.number);
        w.Key("start");
        w.Uint64(p.entry.start);
        w.Key("size");
        w.Uint64(p.entry.size);
        for (const auto& [key, text] : {std::pair<const char*, const std::string*>{"scheme", &p.entry.scheme},
                                        {"type", &p.entry.type},
                                        {"filesystem", &p.filesystem},
                                        {"label", &p.label}}) {
            w.Key(key);
            JsonText::write(w, *text);
        }
        w.EndObject();
    }
    w.EndArray();
    return std::string(buffer.GetString(), buffer.GetSize());
}

int PartitionList::run(const std::string& path, bool json, std::ostream& out, std::ostream& err) {
    SourceStack stack;
    std::unique_ptr<TerminalProgress> bar;
    if (ProcessContext::isTerminal(ProcessContext::Stream::Error)) bar = std::make_unique<TerminalProgress>(err, "Opening");
    stack.setProgress(bar.get());
    const SourceStack::Status status = stack.inspect(path);
    stack.setProgress(nullptr);
    if (bar) bar->finish();
    if (status != SourceStack::Status::Ready) return SourceChoice::report(stack, path, err);
    SourceChoice::writeWarnings(stack, err);
    const std::string source = VisibleText::of(path);
    if (json) {
        out << toJson(stack) << '\n';
    } else if (stack.scheme().empty()) {
        out << source << ": no partition table; " << (stack.container().empty() ? "" : SourceStack::withArticle(stack.container()) + " image holding ")
            << (stack.filesystem() == "ntfs" ? "a bare NTFS volume (search it without --partition)"
                                             : SourceStack::describe(stack.filesystem()))
            << '\n';
    } else {
        out << source << ": " << (stack.container().empty() ? "" : SourceStack::withArticle(stack.container()) + " image holding ")
            << (stack.scheme() == "gpt" ? "a GPT" : "an MBR") << " partition table\n";
        writeTable(out, stack, false);
    }
    return kExitOk;
}

} // namespace resurgo::cli
