#include "cli/ResultFormatter.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "cli/OrderedBlockWriter.h"
#include "core/TextUtf.h"

namespace resurgo::cli {

namespace {

bool isWide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
           (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
           (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
}

bool isZeroWidth(char32_t c) { return (c >= 0x0300 && c <= 0x036F) || c == 0x200B || c == 0x200D || c == 0xFE0F; }

} // namespace

std::string ResultFormatter::directoryText(const std::string& engineDirectory) {
    std::string text = engineDirectory;
    toDirectoryText(text);
    return text;
}

void ResultFormatter::toDirectoryText(std::string& text) {
    std::replace(text.begin(), text.end(), '\\', '/');
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
            {"name", f.name},
            {"directory", directoryText(f.directory)},
            {"size", f.size},
            {"modified", f.lastModificationTime.isoUtc()},
            {"created", f.creationTime.isoUtc()},
            {"accessed", f.lastAccessTime.isoUtc()}};
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
    // strings keep their storage from one result to the next.
    nlohmann::ordered_json object = toJson(FOUND_FILE());
    auto& record = object["record"].get_ref<nlohmann::ordered_json::number_unsigned_t&>();
    auto& firstSector = object["first_sector"].get_ref<nlohmann::ordered_json::number_unsigned_t&>();
    auto& name = object["name"].get_ref<std::string&>();
    auto& directory = object["directory"].get_ref<std::string&>();
    auto& size = object["size"].get_ref<nlohmann::ordered_json::number_unsigned_t&>();
    auto& modified = object["modified"].get_ref<std::string&>();
    auto& created = object["created"].get_ref<std::string&>();
    auto& accessed = object["accessed"].get_ref<std::string&>();
    // The library's own serializer (what dump() uses), kept for the whole
    // block and writing straight into text instead of a string per object.
    // Names are UTF-8 from the engine; replace rather than fail should a
    // malformed sequence ever reach this point.
    nlohmann::detail::serializer<nlohmann::ordered_json> serializer(
        nlohmann::detail::output_adapter<char, std::string>(text), ' ',
        nlohmann::ordered_json::error_handler_t::replace);
    for (std::size_t i = 0; i < count; ++i) {
        const FOUND_FILE& f = *results[i];
        record = f.recordNumber;
        firstSector = f.firstSector;
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
        text += first && i == 0 ? "\n  " : ",\n  ";
        serializer.dump(object, false, false, 0);
    }
}

const std::vector<ResultFormatter::Column>& ResultFormatter::tableColumns() {
    static const std::vector<Column> columns{
        {"Record", true, false, false, [](const FOUND_FILE& f) { return std::to_string(f.recordNumber); }},
        {"Name", false, true, false, [](const FOUND_FILE& f) { return printable(f.name); }},
        {"Size", true, false, false, [](const FOUND_FILE& f) { return std::to_string(f.size); }},
        {"Directory", false, true, false, [](const FOUND_FILE& f) { return printable(directoryText(f.directory)); }},
        {"Modified", false, false, false, [](const FOUND_FILE& f) { return localText(f.lastModificationTime); }},
        {"Created", false, false, true, [](const FOUND_FILE& f) { return localText(f.creationTime); }},
        {"Accessed", false, false, true, [](const FOUND_FILE& f) { return localText(f.lastAccessTime); }},
    };
    return columns;
}

void ResultFormatter::writeTable(std::ostream& out, const std::vector<FOUND_FILE>& results, std::size_t width) {
    std::vector<const FOUND_FILE*> order;
    order.reserve(results.size());
    for (const FOUND_FILE& f : results) order.push_back(&f);
    std::stable_sort(order.begin(), order.end(),
                     [](const FOUND_FILE* a, const FOUND_FILE* b) { return a->recordNumber > b->recordNumber; });

    const std::vector<Column>& all = tableColumns();
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

    // Too wide: optional columns go, the last first, while the names and
    // directories would get less than a comfortable width; then the
    // columns that may be shortened share what the others leave, the
    // narrower ones keeping their full width when their share allows it,
    // none below a few characters.
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
    std::vector<std::size_t> widths = natural;
    if (width != 0 && fixedWidth() + wanted(SIZE_MAX) > width) {
        for (std::size_t k = shown.size(); k-- > 0;) {
            if (fixedWidth() + wanted(kComfortable) <= width) break;
            if (all[shown[k]].optional) shown.erase(shown.begin() + static_cast<std::ptrdiff_t>(k));
        }
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
            const std::size_t least = std::max(kNarrowest, displayWidth(all[c].title));
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

std::string ResultFormatter::shortenMiddle(const std::string& text, std::size_t width) {
    if (displayWidth(text) <= width) return text;
    if (width == 0) return std::string();
    const std::u32string points = TextUtf::toCodePoints(text);
    auto columnsOf = [](char32_t c) -> std::size_t { return isZeroWidth(c) ? 0 : isWide(c) ? 2 : 1; };
    // What is kept: the first half of the width before the ellipsis, the
    // rest after it.
    const std::size_t headWidth = width / 2, tailWidth = (width - 1) / 2;
    std::size_t head = 0, used = 0;
    while (head < points.size() && used + columnsOf(points[head]) <= headWidth) used += columnsOf(points[head++]);
    std::size_t tail = points.size();
    used = 0;
    while (tail > head && used + columnsOf(points[tail - 1]) <= tailWidth) used += columnsOf(points[--tail]);
    // A mark that combines with the character before it stays with it.
    while (tail < points.size() && isZeroWidth(points[tail])) ++tail;
    std::string out;
    for (std::size_t i = 0; i < head; ++i) TextUtf::appendUtf8(out, points[i]);
    out += "\u2026";
    for (std::size_t i = tail; i < points.size(); ++i) TextUtf::appendUtf8(out, points[i]);
    return out;
}

std::string ResultFormatter::printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            out += '?';
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            out += '?';  // U+0080..U+009F
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
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
