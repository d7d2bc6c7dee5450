#include "cli/ResultFormatter.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <thread>

#include "cli/OrderedBlockWriter.h"
#include "core/TextUtf.h"
#include "core/VisibleText.h"
#include "recovery/OutputName.h"

namespace resurgo::cli {

namespace {

bool isWide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
           (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
           (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
}

bool isZeroWidth(char32_t c) { return (c >= 0x0300 && c <= 0x036F) || c == 0x200B || c == 0x200D || c == 0xFE0F; }

using JsonSerializer = nlohmann::detail::serializer<nlohmann::ordered_json>;

// The JSON array of directory names of an engine directory text (as
// OutputName::components), appended to text. A text of printable ASCII
// that needs no escape (the usual case) is copied in one pass, each
// separator becoming "\",\""; otherwise every name goes through the
// serializer, in scratch (a string value).
void appendComponents(std::string& text, const std::string& engineDirectory, JsonSerializer& serializer,
                      nlohmann::ordered_json& scratch) {
    if (engineDirectory.empty() || engineDirectory == ".\\") {
        text += "[]";
        return;
    }
    // The last separator ends the last name.
    const std::size_t end = engineDirectory.size() - (engineDirectory.back() == '\\' ? 1 : 0);
    bool plain = true;
    for (std::size_t i = 0; i < end && plain; ++i) {
        const unsigned char c = static_cast<unsigned char>(engineDirectory[i]);
        plain = c >= 0x20 && c < 0x7F && c != '"';
    }
    if (plain) {
        text += "[\"";
        std::size_t from = 0;
        for (std::size_t at = engineDirectory.find('\\'); at < end; at = engineDirectory.find('\\', from)) {
            text.append(engineDirectory, from, at - from);
            text += "\",\"";
            from = at + 1;
        }
        text.append(engineDirectory, from, end - from);
        text += "\"]";
        return;
    }
    text += '[';
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = std::min(engineDirectory.find('\\', from), end);
        std::string& name = scratch.get_ref<std::string&>();
        name.assign(engineDirectory, from, at - from);
        std::replace(name.begin(), name.end(), FOUND_FILE::kBackslashInName, '\\');
        serializer.dump(scratch, false, false, 0);
        if (at >= end) break;
        text += ',';
        from = at + 1;
    }
    text += ']';
}

void pad(std::ostream& out, const std::string& text, std::size_t width, bool right) {
    std::size_t used = ResultFormatter::displayWidth(text);
    std::string fill(width > used ? width - used : 0, ' ');
    if (right) {
        out << fill << text;
    } else {
        out << text << fill;
    }
}

} // namespace

std::string ResultFormatter::directoryText(const std::string& engineDirectory) {
    std::string text = engineDirectory;
    toDirectoryText(text);
    return text;
}

void ResultFormatter::toDirectoryText(std::string& text) {
    std::replace(text.begin(), text.end(), '\\', '/');
    // A backslash inside a name (rare) is itself again.
    if (text.find(FOUND_FILE::kBackslashInName) != std::string::npos) {
        std::replace(text.begin(), text.end(), FOUND_FILE::kBackslashInName, '\\');
    }
    while (!text.empty() && text.back() == '/') text.pop_back();
    if (text.empty()) text = ".";
}

std::string ResultFormatter::localText(const FILE_TIME& time) {
    const LocalTime& t = time.local();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
    return buf;
}

nlohmann::ordered_json ResultFormatter::toJson(const FOUND_FILE& f) {
    return {{"record", f.recordNumber},
            {"first_sector", f.firstSector},
            {"offset", f.offset},
            {"name", f.name},
            {"directory", directoryText(f.directory)},
            {"path_components", OutputName::components(f.directory)},
            {"size", f.size},
            {"modified", f.lastModificationTime.isoUtc()},
            {"created", f.creationTime.isoUtc()},
            {"accessed", f.lastAccessTime.isoUtc()},
            {"recoverable", f.recoverable}};
}

void ResultFormatter::writeJson(std::ostream& out, const std::vector<FOUND_FILE>& results) {
    // The search appends in record order; sort only if that ever changes.
    std::vector<const FOUND_FILE*> order;
    order.reserve(results.size());
    for (const FOUND_FILE& f : results) order.push_back(&f);
    if (!std::is_sorted(order.begin(), order.end(),
                        [](const FOUND_FILE* a, const FOUND_FILE* b) { return a->recordNumber < b->recordNumber; })) {
        std::stable_sort(order.begin(), order.end(),
                         [](const FOUND_FILE* a, const FOUND_FILE* b) { return a->recordNumber < b->recordNumber; });
    }

    // Objects are formatted in blocks on a few threads and written in order.
    const std::size_t blocks = (order.size() + kJsonBlock - 1) / kJsonBlock;
    const unsigned hardware = std::thread::hardware_concurrency();
    out << '[';
    OrderedBlockWriter::write(out, blocks, std::min<std::size_t>(hardware == 0 ? 1 : hardware, kJsonThreads),
                              kJsonWindow, [&order](std::size_t block, std::string& text) {
                                  const std::size_t first = block * kJsonBlock;
                                  const std::size_t count = std::min(kJsonBlock, order.size() - first);
                                  formatJsonObjects(order.data() + first, count, first == 0, text);
                              });
    out << (order.empty() ? "]" : "\n]");
}

void ResultFormatter::formatJsonObjects(const FOUND_FILE* const* results, std::size_t count, bool first,
                                        std::string& text) {
    // One object reused for every result: its keys are made once, and its
    // strings keep their storage from one result to the next. It is kept
    // in two parts, before and after path_components, which is written
    // apart (appendComponents).
    nlohmann::ordered_json head = nlohmann::ordered_json::object();
    nlohmann::ordered_json tail = nlohmann::ordered_json::object();
    bool beforeComponents = true;
    const nlohmann::ordered_json whole = toJson(FOUND_FILE());
    for (const auto& [key, value] : whole.items()) {
        if (key == "path_components") {
            beforeComponents = false;
        } else {
            (beforeComponents ? head : tail)[key] = value;
        }
    }
    auto& record = head["record"].get_ref<nlohmann::ordered_json::number_unsigned_t&>();
    auto& firstSector = head["first_sector"].get_ref<nlohmann::ordered_json::number_unsigned_t&>();
    auto& offset = head["offset"].get_ref<nlohmann::ordered_json::number_unsigned_t&>();
    auto& name = head["name"].get_ref<std::string&>();
    auto& directory = head["directory"].get_ref<std::string&>();
    auto& size = tail["size"].get_ref<nlohmann::ordered_json::number_unsigned_t&>();
    auto& modified = tail["modified"].get_ref<std::string&>();
    auto& created = tail["created"].get_ref<std::string&>();
    auto& accessed = tail["accessed"].get_ref<std::string&>();
    auto& recoverable = tail["recoverable"].get_ref<nlohmann::ordered_json::number_unsigned_t&>();
    nlohmann::ordered_json scratch = std::string();
    // The library's own serializer (what dump() uses), kept for the whole
    // block and writing straight into text instead of a string per object.
    // Names are UTF-8 from the engine; replace rather than fail should a
    // malformed sequence ever reach this point.
    JsonSerializer serializer(nlohmann::detail::output_adapter<char, std::string>(text), ' ',
                              nlohmann::ordered_json::error_handler_t::replace);
    for (std::size_t i = 0; i < count; ++i) {
        const FOUND_FILE& f = *results[i];
        record = f.recordNumber;
        firstSector = f.firstSector;
        offset = f.offset;
        name = f.name;
        directory = f.directory;
        toDirectoryText(directory);
        size = f.size;
        // A file's three times are often one and the same.
        modified.clear();
        f.lastModificationTime.appendIsoUtc(modified);
        if (f.creationTime.utc() == f.lastModificationTime.utc()) {
            created = modified;
        } else {
            created.clear();
            f.creationTime.appendIsoUtc(created);
        }
        if (f.lastAccessTime.utc() == f.lastModificationTime.utc()) {
            accessed = modified;
        } else {
            accessed.clear();
            f.lastAccessTime.appendIsoUtc(accessed);
        }
        recoverable = f.recoverable;
        text += first && i == 0 ? "\n  " : ",\n  ";
        // {head, "path_components":[...], tail}: the head without its "}",
        // the tail with "," for its "{".
        serializer.dump(head, false, false, 0);
        text.back() = ',';
        text += "\"path_components\":";
        appendComponents(text, f.directory, serializer, scratch);
        const std::size_t at = text.size();
        serializer.dump(tail, false, false, 0);
        text[at] = ',';
    }
}

void ResultFormatter::writeTable(std::ostream& out, const std::vector<FOUND_FILE>& results) {
    std::vector<const FOUND_FILE*> order;
    order.reserve(results.size());
    for (const FOUND_FILE& f : results) order.push_back(&f);
    std::stable_sort(order.begin(), order.end(),
                     [](const FOUND_FILE* a, const FOUND_FILE* b) { return a->recordNumber > b->recordNumber; });

    using Row = std::array<std::string, 7>;
    std::vector<Row> rows;
    rows.push_back({"Name", "Size", "Recoverable", "Directory", "Modified", "Created", "Accessed"});
    for (const FOUND_FILE* f : order) {
        // Names are shown escaped, then measured.
        rows.push_back({VisibleText::of(f->name), std::to_string(f->size), std::to_string(f->recoverable) + "%",
                        VisibleText::of(directoryText(f->directory)), localText(f->lastModificationTime),
                        localText(f->creationTime),
                        localText(f->lastAccessTime)});
    }
    std::array<std::size_t, 7> width{};
    for (const Row& r : rows) {
        for (std::size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], displayWidth(r[c]));
    }
    for (const Row& r : rows) {
        for (std::size_t c = 0; c < r.size(); ++c) {
            if (c > 0) out << "  ";
            // Size and percentage right-aligned; the last column is not padded.
            if (c == r.size() - 1) {
                out << r[c];
            } else {
                pad(out, r[c], width[c], c == 1 || c == 2);
            }
        }
        out << '\n';
    }
}

std::size_t ResultFormatter::displayWidth(const std::string& text) {
    std::size_t width = 0;
    for (char32_t c : TextUtf::toCodePoints(text)) {
        if (isZeroWidth(c)) continue;
        width += isWide(c) ? 2 : 1;
    }
    return width;
}

} // namespace resurgo::cli
