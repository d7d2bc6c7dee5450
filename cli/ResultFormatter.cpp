#include "cli/ResultFormatter.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
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

const std::vector<ResultFormatter::Column>& ResultFormatter::tableColumns(Lead lead) {
    using Drop = Column::Drop;
    static const std::vector<Column> columns{
        {"Record", true, false, Drop::Never, [](const FOUND_FILE& f) { return std::to_string(f.recordNumber); }},
        {"Name", false, true, Drop::Never, [](const FOUND_FILE& f) { return VisibleText::of(f.name); }},
        {"Size", true, false, Drop::Never, [](const FOUND_FILE& f) { return std::to_string(f.size); }},
        // What decides whether a restore is worth it: kept before names of
        // a comfortable width, left out only when nothing else makes room.
        {"Recoverable", true, false, Drop::ForRoom,
         [](const FOUND_FILE& f) { return std::to_string(f.recoverable) + "%"; }},
        {"Directory", false, true, Drop::Never,
         [](const FOUND_FILE& f) { return VisibleText::of(directoryText(f.directory)); }},
        {"Modified", false, false, Drop::Never, [](const FOUND_FILE& f) { return localText(f.lastModificationTime); }},
        {"Created", false, false, Drop::ForComfort, [](const FOUND_FILE& f) { return localText(f.creationTime); }},
        {"Accessed", false, false, Drop::ForComfort, [](const FOUND_FILE& f) { return localText(f.lastAccessTime); }},
    };
    static const std::vector<Column> byOffset = [] {
        std::vector<Column> c = columns;
        c.front() = {"Offset", true, false, Drop::Never, [](const FOUND_FILE& f) { return std::to_string(f.offset); }};
        return c;
    }();
    return lead == Lead::Offset ? byOffset : columns;
}

void ResultFormatter::writeTable(std::ostream& out, const std::vector<FOUND_FILE>& results, std::size_t width,
                                 Lead lead) {
    std::vector<const FOUND_FILE*> order;
    order.reserve(results.size());
    for (const FOUND_FILE& f : results) order.push_back(&f);
    std::stable_sort(order.begin(), order.end(),
                     [](const FOUND_FILE* a, const FOUND_FILE* b) { return a->recordNumber > b->recordNumber; });

    const std::vector<Column>& all = tableColumns(lead);
    std::vector<std::size_t> natural(all.size(), 0);
    for (std::size_t c = 0; c < all.size(); ++c) natural[c] = displayWidth(all[c].title);
    std::vector<std::vector<std::string>> cells(all.size());
    for (std::size_t c = 0; c < all.size(); ++c) {
        cells[c].reserve(order.size());
        for (const FOUND_FILE* f : order) {
            cells[c].push_back(all[c].text(*f));
            natural[c] = std::max(natural[c], displayWidth(cells[c].back()));
        }
    }

    // Too wide: the columns left out for comfort go, the last first, while
    // the names and directories would get less than a comfortable width;
    // those left out for room only while the table can't fit even with
    // the names and directories at their narrowest. Then the columns that
    // may be shortened share what the others leave, the narrower ones
    // keeping their full width when their share allows it, none below a
    // few characters.
    constexpr std::size_t kGap = 2, kNarrowest = 8, kComfortable = 24;
    std::vector<std::size_t> shown(all.size());
    for (std::size_t c = 0; c < all.size(); ++c) shown[c] = c;
    auto fixedWidth = [&] {
        std::size_t total = kGap * (shown.size() - 1);
        for (std::size_t c : shown) total += all[c].shortened ? 0 : natural[c];
        return total;
    };
    auto wanted = [&](std::size_t comfortable) {
        std::size_t total = 0;
        for (std::size_t c : shown) total += all[c].shortened ? std::min(natural[c], comfortable) : 0;
        return total;
    };
    auto leastOf = [&](std::size_t c) { return std::max(kNarrowest, displayWidth(all[c].title)); };
    auto narrowest = [&] {
        std::size_t total = 0;
        for (std::size_t c : shown) total += all[c].shortened ? std::min(natural[c], leastOf(c)) : 0;
        return total;
    };
    auto leaveOut = [&](Column::Drop drop, const std::function<bool()>& enough) {
        for (std::size_t k = shown.size(); k-- > 0;) {
            if (enough()) break;
            if (all[shown[k]].drop == drop) shown.erase(shown.begin() + static_cast<std::ptrdiff_t>(k));
        }
    };
    std::vector<std::size_t> widths = natural;
    if (width != 0 && fixedWidth() + wanted(SIZE_MAX) > width) {
        leaveOut(Column::Drop::ForComfort, [&] { return fixedWidth() + wanted(kComfortable) <= width; });
        leaveOut(Column::Drop::ForRoom, [&] { return fixedWidth() + narrowest() <= width; });
        std::vector<std::size_t> shortened;
        std::size_t room = width - std::min(width, fixedWidth());
        for (std::size_t c : shown) {
            if (all[c].shortened) shortened.push_back(c);
        }
        std::stable_sort(shortened.begin(), shortened.end(),
                         [&natural](std::size_t a, std::size_t b) { return natural[a] < natural[b]; });
        for (std::size_t i = 0; i < shortened.size(); ++i) {
            const std::size_t c = shortened[i];
            const std::size_t share = room / (shortened.size() - i);
            const std::size_t least = leastOf(c);
            widths[c] = std::min(natural[c], std::max(share, least));
            room -= std::min(room, widths[c]);
            if (widths[c] < natural[c]) {
                for (std::string& text : cells[c]) text = shortenMiddle(text, widths[c]);
            }
        }
    }

    std::vector<std::string> titles;
    for (const Column& c : all) titles.emplace_back(c.title);
    std::string line;
    for (std::size_t row = 0; row <= order.size(); ++row) {
        line.clear();
        for (std::size_t k = 0; k < shown.size(); ++k) {
            const std::size_t c = shown[k];
            const std::string& text = row == 0 ? titles[c] : cells[c][row - 1];
            if (k > 0) line.append(kGap, ' ');
            const std::size_t used = displayWidth(text);
            const std::size_t fill = widths[c] > used ? widths[c] - used : 0;
            // The last column is not padded.
            if (all[c].rightAligned) line.append(fill, ' ');
            line += text;
            if (!all[c].rightAligned && k + 1 < shown.size()) line.append(fill, ' ');
        }
        line += '\n';
        out << line;
    }
}

std::string ResultFormatter::shortenMiddle(const std::string& shown, std::size_t width) {
    if (displayWidth(shown) <= width) return shown;
    if (width == 0) return std::string();
    // The text in units that are kept or left out whole: an escape, or one
    // character with the columns it takes.
    struct Unit {
        std::size_t at, length, columns;
    };
    std::vector<Unit> units;
    for (std::size_t i = 0; i < shown.size();) {
        const std::size_t at = i;
        if (const std::size_t escape = VisibleText::escapeLength(shown, at); escape != 0) {
            units.push_back({at, escape, escape});
            i += escape;
            continue;
        }
        char32_t c = 0;
        const bool decoded = TextUtf::decodeOne(shown, i, c);
        const std::size_t columns = !decoded ? 1 : isZeroWidth(c) ? 0 : isWide(c) ? 2 : 1;
        units.push_back({at, i - at, columns});
    }
    // What is kept: the first half of the width before the ellipsis, the
    // rest after it.
    const std::size_t headWidth = width / 2, tailWidth = (width - 1) / 2;
    std::size_t head = 0, used = 0;
    while (head < units.size() && used + units[head].columns <= headWidth) used += units[head++].columns;
    std::size_t tail = units.size();
    used = 0;
    while (tail > head && used + units[tail - 1].columns <= tailWidth) used += units[--tail].columns;
    // A mark that combines with the character before it stays with it.
    while (tail < units.size() && units[tail].columns == 0) ++tail;
    std::string out(shown, 0, head == 0 ? 0 : units[head - 1].at + units[head - 1].length);
    out += "\u2026";
    if (tail < units.size()) out.append(shown, units[tail].at, std::string::npos);
    return out;
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
