#include "cli/ResultFormatter.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "cli/OrderedBlockWriter.h"
#include "core/TextUtf.h"
#include "core/VisibleText.h"
#include "recovery/OutputName.h"
#include "recovery/ProgressSink.h"

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
using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

constexpr std::uint64_t kTicksPerSecond = 10000000;

// Writes the strings of one block of objects. Text that is printable
// ASCII, or valid UTF-8 without control characters, goes straight through
// the writer; anything else (a control character, a malformed sequence a
// caller made) is escaped by nlohmann's serializer, so that the output
// stays exactly what it has always been: lowercase \u escapes, U+FFFD for
// malformed bytes.
class JsonStrings {
public:
    explicit JsonStrings(JsonWriter& writer)
        : writer_(writer),
          serializer_(nlohmann::detail::output_adapter<char, std::string>(escaped_), ' ',
                      nlohmann::ordered_json::error_handler_t::replace) {}

    void put(const std::string& text) {
        if (plain(text)) {
            writer_.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
            return;
        }
        scratch_.get_ref<std::string&>() = text;
        escaped_.clear();
        serializer_.dump(scratch_, false, false, 0);
        writer_.RawValue(escaped_.data(), escaped_.size(), rapidjson::kStringType);
    }

    // The JSON array of directory names of an engine directory text (as
    // OutputName::components).
    void putComponents(const std::string& engineDirectory) {
        writer_.StartArray();
        if (!engineDirectory.empty() && engineDirectory != ".\\") {
            // The last separator ends the last name.
            const std::size_t end = engineDirectory.size() - (engineDirectory.back() == '\\' ? 1 : 0);
            std::size_t from = 0;
            for (;;) {
                const std::size_t at = std::min(engineDirectory.find('\\', from), end);
                component_.assign(engineDirectory, from, at - from);
                std::replace(component_.begin(), component_.end(), FOUND_FILE::kBackslashInName, '\\');
                put(component_);
                if (at >= end) break;
                from = at + 1;
            }
        }
        writer_.EndArray();
    }

private:
    static bool plain(const std::string& text) {
        bool ascii = true;
        for (const char c : text) {
            const auto b = static_cast<unsigned char>(c);
            if (b < 0x20) return false;
            ascii = ascii && b < 0x80;
        }
        if (ascii) return true;
        char32_t cp = 0;
        for (std::size_t i = 0; i < text.size();) {
            if (!TextUtf::decodeOne(text, i, cp)) return false;
        }
        return true;
    }

    JsonWriter& writer_;
    std::string escaped_;
    std::string component_;
    nlohmann::ordered_json scratch_ = std::string();
    JsonSerializer serializer_;
};

using TableWidths = std::array<std::size_t, ResultFormatter::kTableColumns>;

// Columns of printable ASCII without a backslash (the usual case) are
// shown as they are, one column per byte; anything else is escaped
// (VisibleText) and measured.
bool plainText(const std::string& text) {
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b >= 0x7F || c == '\\') return false;
    }
    return true;
}

std::size_t digits(std::uint64_t value) {
    std::size_t n = 1;
    while (value >= 10) {
        value /= 10;
        ++n;
    }
    return n;
}

// The cells of table rows, with what they reuse from one row to the next:
// the escaped texts and the local times (converting a time takes the C
// library's time zone lock; the times of a listing repeat a lot).
class TableCells {
public:
    void measure(const FOUND_FILE& f, TableWidths& widths) {
        widths[0] = std::max(widths[0], shownWidth(f.name));
        widths[1] = std::max(widths[1], digits(f.size));
        widths[2] = std::max(widths[2], digits(f.recoverable) + 1);
        directory_ = f.directory;
        ResultFormatter::toDirectoryText(directory_);
        widths[3] = std::max(widths[3], shownWidth(directory_));
        widths[4] = std::max(widths[4], timeWidth(f.lastModificationTime));
        widths[5] = std::max(widths[5], timeWidth(f.creationTime));
        widths[6] = std::max(widths[6], timeWidth(f.lastAccessTime));
    }

    void appendRow(std::string& text, const FOUND_FILE& f, const TableWidths& widths) {
        appendCell(text, shown(f.name, name_), widths[0], false);
        text += "  ";
        number_ = std::to_string(f.size);
        appendCell(text, number_, widths[1], true);
        text += "  ";
        number_ = std::to_string(f.recoverable);
        number_ += '%';
        appendCell(text, number_, widths[2], true);
        text += "  ";
        directory_ = f.directory;
        ResultFormatter::toDirectoryText(directory_);
        appendCell(text, shown(directory_, escaped_), widths[3], false);
        text += "  ";
        appendCell(text, localText(f.lastModificationTime), widths[4], false);
        text += "  ";
        appendCell(text, localText(f.creationTime), widths[5], false);
        text += "  ";
        // The last column is not padded.
        text += localText(f.lastAccessTime);
        text += '\n';
    }

    static void appendRow(std::string& text, const std::array<std::string, ResultFormatter::kTableColumns>& cells,
                          const TableWidths& widths) {
        for (std::size_t c = 0; c < cells.size(); ++c) {
            if (c > 0) text += "  ";
            if (c == cells.size() - 1) {
                text += cells[c];
            } else {
                appendCell(text, cells[c], widths[c], c == 1 || c == 2);
            }
        }
        text += '\n';
    }

private:
    // Size and percentage right-aligned.
    static void appendCell(std::string& text, const std::string& cell, std::size_t width, bool right) {
        const std::size_t used = plainText(cell) ? cell.size() : ResultFormatter::displayWidth(cell);
        const std::size_t fill = width > used ? width - used : 0;
        if (right) text.append(fill, ' ');
        text += cell;
        if (!right) text.append(fill, ' ');
    }

    const std::string& shown(const std::string& text, std::string& scratch) {
        if (plainText(text)) return text;
        scratch.clear();
        VisibleText::append(scratch, text);
        return scratch;
    }

    std::size_t shownWidth(const std::string& text) {
        if (plainText(text)) return text.size();
        return ResultFormatter::displayWidth(shown(text, escaped_));
    }

    // The local time's text, converted once per distinct second.
    const std::string& localText(const FILE_TIME& time) {
        const std::uint64_t second = time.utc() / kTicksPerSecond;
        Memo& memo = times_[static_cast<std::size_t>(second % times_.size())];
        if (!memo.valid || memo.second != second) {
            memo.text = ResultFormatter::localText(time);
            memo.second = second;
            memo.valid = true;
        }
        return memo.text;
    }

    std::size_t timeWidth(const FILE_TIME& time) { return localText(time).size(); }

    struct Memo {
        std::uint64_t second = 0;
        bool valid = false;
        std::string text;
    };
    std::array<Memo, 64> times_{};
    std::string name_;
    std::string directory_;
    std::string escaped_;
    std::string number_;
};

// Tells progress, from 0 to 100, how many of blocks are written.
OrderedBlockWriter::Written progressOf(ProgressSink* progress, std::size_t blocks) {
    if (progress == nullptr || blocks == 0) return nullptr;
    return [progress, blocks](std::size_t written) {
        progress->setPosition(static_cast<int>(written * 100 / blocks));
    };
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

void ResultFormatter::writeJson(std::ostream& out, const std::vector<FOUND_FILE>& results, ProgressSink* progress) {
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
                              },
                              progressOf(progress, blocks));
    out << (order.empty() ? "]" : "\n]");
}

void ResultFormatter::formatJsonObjects(const FOUND_FILE* const* results, std::size_t count, bool first,
                                        std::string& text) {
    // Each thread keeps its buffer from one block to the next.
    thread_local rapidjson::StringBuffer buffer;
    buffer.Clear();
    buffer.Reserve(count * kJsonObjectBytes);
    JsonWriter writer(buffer);
    JsonStrings strings(writer);
    // The keys and punctuation are fixed text; every value is one JSON
    // document to the writer, which escapes the strings.
    auto put = [](const char* bytes, std::size_t length) { std::memcpy(buffer.Push(length), bytes, length); };
    auto fixed = [&put](const auto& literal) { put(literal, sizeof literal - 1); };
    auto value = [&writer] { writer.Reset(buffer); };
    std::string directory;
    // The times' texts, quoted, by second: a listing's times repeat a lot.
    struct TimeText {
        std::uint64_t second = 0;
        bool valid = false;
        std::string text;
    };
    std::array<TimeText, 64> times{};
    std::string iso;
    auto time = [&](const FILE_TIME& t) {
        const std::uint64_t second = t.utc() / kTicksPerSecond;
        TimeText& memo = times[static_cast<std::size_t>(second % times.size())];
        if (!memo.valid || memo.second != second) {
            iso.clear();
            t.appendIsoUtc(iso);
            // Digits, '-', ':', 'T' and 'Z': nothing to escape.
            memo.text.assign(1, '"');
            memo.text += iso;
            memo.text += '"';
            memo.second = second;
            memo.valid = true;
        }
        put(memo.text.data(), memo.text.size());
    };
    for (std::size_t i = 0; i < count; ++i) {
        const FOUND_FILE& f = *results[i];
        if (first && i == 0) {
            fixed("\n  {\"record\":");
        } else {
            fixed(",\n  {\"record\":");
        }
        value();
        writer.Uint64(f.recordNumber);
        fixed(",\"first_sector\":");
        value();
        writer.Uint64(f.firstSector);
        fixed(",\"offset\":");
        value();
        writer.Uint64(f.offset);
        fixed(",\"name\":");
        value();
        strings.put(f.name);
        fixed(",\"directory\":");
        directory = f.directory;
        toDirectoryText(directory);
        value();
        strings.put(directory);
        fixed(",\"path_components\":");
        value();
        strings.putComponents(f.directory);
        fixed(",\"size\":");
        value();
        writer.Uint64(f.size);
        fixed(",\"modified\":");
        time(f.lastModificationTime);
        fixed(",\"created\":");
        time(f.creationTime);
        fixed(",\"accessed\":");
        time(f.lastAccessTime);
        fixed(",\"recoverable\":");
        value();
        writer.Uint(f.recoverable);
        fixed("}");
    }
    text.append(buffer.GetString(), buffer.GetSize());
}

void ResultFormatter::writeTable(std::ostream& out, const std::vector<FOUND_FILE>& results, ProgressSink* progress) {
    // Highest record first: the search's record order reversed.
    std::vector<const FOUND_FILE*> order;
    order.reserve(results.size());
    for (auto it = results.rbegin(); it != results.rend(); ++it) order.push_back(&*it);
    if (!std::is_sorted(order.begin(), order.end(),
                        [](const FOUND_FILE* a, const FOUND_FILE* b) { return a->recordNumber > b->recordNumber; })) {
        order.clear();
        for (const FOUND_FILE& f : results) order.push_back(&f);
        std::stable_sort(order.begin(), order.end(),
                         [](const FOUND_FILE* a, const FOUND_FILE* b) { return a->recordNumber > b->recordNumber; });
    }

    // The columns' widths first, measured on a few threads; then the rows,
    // formatted in blocks on a few threads and written in order. Nothing
    // is kept per row in between.
    const std::array<std::string, kTableColumns> header = {"Name",     "Size",    "Recoverable", "Directory",
                                                           "Modified", "Created", "Accessed"};
    TableWidths widths{};
    for (std::size_t c = 0; c < kTableColumns; ++c) widths[c] = displayWidth(header[c]);
    const std::size_t blocks = (order.size() + kTableBlock - 1) / kTableBlock;
    const unsigned hardware = std::thread::hardware_concurrency();
    const std::size_t threads = std::min<std::size_t>({hardware == 0 ? 1 : hardware, kJsonThreads, std::max<std::size_t>(blocks, 1)});
    {
        std::vector<TableWidths> found(threads, widths);
        std::atomic<std::size_t> next{0};
        std::vector<std::exception_ptr> failures(threads);
        auto measure = [&](std::size_t t) {
            try {
                TableCells cells;
                for (std::size_t b = next.fetch_add(1); b < blocks; b = next.fetch_add(1)) {
                    const std::size_t first = b * kTableBlock;
                    const std::size_t last = std::min(order.size(), first + kTableBlock);
                    for (std::size_t i = first; i < last; ++i) cells.measure(*order[i], found[t]);
                }
            } catch (...) {
                failures[t] = std::current_exception();
                next.store(blocks);
            }
        };
        std::vector<std::thread> helpers;
        for (std::size_t t = 1; t < threads; ++t) helpers.emplace_back(measure, t);
        measure(0);
        for (auto& h : helpers) h.join();
        for (auto& f : failures) {
            if (f) std::rethrow_exception(f);
        }
        for (const TableWidths& w : found) {
            for (std::size_t c = 0; c < kTableColumns; ++c) widths[c] = std::max(widths[c], w[c]);
        }
    }

    std::string line;
    TableCells::appendRow(line, header, widths);
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    OrderedBlockWriter::write(
        out, blocks, threads, kJsonWindow,
        [&order, &widths](std::size_t block, std::string& text) {
            TableCells cells;
            const std::size_t first = block * kTableBlock;
            const std::size_t last = std::min(order.size(), first + kTableBlock);
            for (std::size_t i = first; i < last; ++i) cells.appendRow(text, *order[i], widths);
        },
        progressOf(progress, blocks));
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
