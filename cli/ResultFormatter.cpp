#include "cli/ResultFormatter.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <thread>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "cli/FailureReport.h"
#include "cli/JsonText.h"
#include "cli/Messages.h"
#include "cli/OrderedBlockWriter.h"
#include "recovery/SystemServices.h"
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

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

constexpr std::uint64_t kTicksPerSecond = 10000000;

// The texts of times, made once per distinct second (a listing's times
// repeat a lot), each with what make adds to it (its width in columns).
template <typename Extra>
class TimeTexts {
public:
    struct Entry {
        std::uint64_t second = 0;
        bool valid = false;
        std::string text;
        Extra extra{};
    };
    // The entry for time's second; make(time, entry) fills a new one.
    template <typename Make>
    const Entry& of(const FILE_TIME& time, const Make& make) {
        const std::uint64_t second = time.utc() / kTicksPerSecond;
        Entry& entry = entries_[static_cast<std::size_t>(second % entries_.size())];
        if (!entry.valid || entry.second != second) {
            make(time, entry);
            entry.second = second;
            entry.valid = true;
        }
        return entry;
    }

private:
    std::array<Entry, 64> entries_{};
};

// Writes the strings of one block of objects. Text that is printable
// ASCII, or valid UTF-8 without control characters, goes straight through
// the writer; anything else (a control character, a malformed sequence a
// caller made) is escaped by JsonText.
class JsonStrings {
public:
    explicit JsonStrings(JsonWriter& writer) : writer_(writer) {}

    void put(const std::string& text) {
        if (plain(text)) {
            writer_.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
            return;
        }
        escaped_.clear();
        JsonText::appendString(escaped_, text);
        writer_.RawValue(escaped_.data(), escaped_.size(), rapidjson::kStringType);
    }

    // The JSON array of a result's directory names.
    void putComponents(const std::vector<std::string>& names) {
        writer_.StartArray();
        for (const std::string& name : names) put(name);
        writer_.EndArray();
    }

private:
    static bool plain(const std::string& text) {
        bool ascii = true;
        for (const char c : text) {
            const auto b = static_cast<unsigned char>(c);
            if (b < 0x20 || b == 0x7F) return false;
            ascii = ascii && b < 0x80;
        }
        if (ascii) return true;
        char32_t cp = 0;
        for (std::size_t i = 0; i < text.size();) {
            if (!TextUtf::decodeOne(text, i, cp)) return false;
        }
        return !VisibleText::hasJsonHidden(text);
    }

    JsonWriter& writer_;
    std::string escaped_;
};

// Writes the objects of the JSON array into a buffer. The keys and
// punctuation are fixed text; every value is one JSON document to the
// writer, which escapes the strings.
class JsonObjects {
public:
    // snapshots: every object says which shadow copy it came from.
    JsonObjects(rapidjson::StringBuffer& buffer, bool snapshots)
        : buffer_(buffer), writer_(buffer), strings_(writer_), snapshots_(snapshots) {}

    // One object, after its separator (first: the array's first).
    void write(const FOUND_FILE& f, bool first) {
        if (first) {
            fixed("\n  {\"record\":");
        } else {
            fixed(",\n  {\"record\":");
        }
        value();
        writer_.Uint64(f.recordNumber);
        key(",\"first_sector\":");
        writer_.Uint64(f.firstSector);
        key(",\"offset\":");
        writer_.Uint64(f.offset);
        key(",\"name\":");
        strings_.put(f.name);
        ResultFormatter::toDirectoryText(f.components(), directory_);
        key(",\"directory\":");
        strings_.put(directory_);
        key(",\"path_components\":");
        strings_.putComponents(f.components());
        key(",\"size\":");
        writer_.Uint64(f.size);
        fixed(",\"modified\":");
        time(f.lastModificationTime);
        fixed(",\"created\":");
        time(f.creationTime);
        fixed(",\"accessed\":");
        time(f.lastAccessTime);
        key(",\"recoverable\":");
        writer_.Uint(f.recoverable);
        key(",\"unowned\":");
        writer_.Uint(f.unowned);
        writeFindings(f);
        if (f.carvedType != nullptr) writeCarved(f);
        fixed(",\"source\":\"");
        const char* source = resultSourceName(f.source);
        put(source, std::strlen(source));
        fixed("\"");
        fixed("}");
    }

private:
    // What sampling, a guessed layout and the shadow copies add.
    void writeFindings(const FOUND_FILE& f) {
        if (f.zeroed != FOUND_FILE::kNotSampled) {
            key(",\"zeroed\":");
            writer_.Uint(f.zeroed);
        }
        if (f.guessedGeometry) fixed(",\"guessed_geometry\":true");
        if (snapshots_) {
            if (f.snapshot == 0) {
                fixed(",\"snapshot\":null,\"snapshot_created\":null");
            } else {
                key(",\"snapshot\":");
                writer_.Uint(f.snapshot);
                fixed(",\"snapshot_created\":");
                time(f.snapshotCreated);
            }
        }
    }

    // A carved file's keys: its type, what its content says, where its name came from.
    void writeCarved(const FOUND_FILE& f) {
        fixed(",\"carved\":true");
        if (f.carvedCompressed) fixed(",\"compressed\":true");
        if (f.hint && !f.hint->title.empty()) {
            key(",\"hint\":");
            strings_.put(f.hint->title);
        }
        if (f.hint && !f.hint->taken.empty()) {
            key(",\"hint_time\":");
            strings_.put(f.hint->taken);
        }
        key(",\"type\":");
        strings_.put(f.carvedType);
        switch (f.nameSource) {
        case FOUND_FILE::NameSource::Index: fixed(",\"name_source\":\"index\""); break;
        case FOUND_FILE::NameSource::Logfile: fixed(",\"name_source\":\"logfile\""); break;
        case FOUND_FILE::NameSource::None: fixed(",\"name_source\":\"none\""); break;
        }
    }

    struct NoExtra {};

    void put(const char* bytes, std::size_t length) { std::memcpy(buffer_.Push(length), bytes, length); }
    template <std::size_t N>
    void fixed(const char (&literal)[N]) {
        put(literal, N - 1);
    }
    void value() { writer_.Reset(buffer_); }
    template <std::size_t N>
    void key(const char (&literal)[N]) {
        fixed(literal);
        value();
    }
    // A time's text, quoted.
    void time(const FILE_TIME& t) {
        const auto& entry = times_.of(t, [this](const FILE_TIME& at, TimeTexts<NoExtra>::Entry& e) {
            iso_.clear();
            at.appendIsoUtc(iso_);
            // Digits, '-', ':', 'T' and 'Z': nothing to escape.
            e.text.assign(1, '"');
            e.text += iso_;
            e.text += '"';
        });
        put(entry.text.data(), entry.text.size());
    }

    rapidjson::StringBuffer& buffer_;
    JsonWriter writer_;
    JsonStrings strings_;
    TimeTexts<NoExtra> times_;
    std::string directory_;
    std::string iso_;
    bool snapshots_;
};

using ColumnWidths = std::vector<std::size_t>;

// Cells of printable ASCII without a backslash (the usual case) are shown
// as they are, one column per byte; anything else is escaped (VisibleText)
// and measured.
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

// The texts of the table's cells, as tableColumns' text functions make
// them, with what they reuse from one row to the next: the buffers, and
// the local times (converting a time takes the C library's time zone lock;
// the times of a listing repeat a lot).
class TableCells {
public:
    // The columns of tableColumns, in order.
    enum ColumnIndex : std::size_t {
        kLead, kName, kSize, kRecoverable, kDirectory, kModified, kCreated, kAccessed, kSnapshot, kCount
    };

    explicit TableCells(ResultFormatter::Lead lead) : lead_(lead) {}

    // Column c's text for f, and the columns it takes; the text stays
    // until the next call for the column.
    struct Cell {
        const std::string* text;
        std::size_t columns;
    };
    Cell cell(std::size_t c, const FOUND_FILE& f) {
        std::string& out = texts_[c];
        switch (c) {
            case kLead:
                out = std::to_string(leadOf(f));
                return {&out, out.size()};
            case kName:
                return shown(f.name, out);
            case kSize:
                out = std::to_string(f.size);
                return {&out, out.size()};
            case kRecoverable:
                ResultFormatter::recoverableText(f, out);
                return {&out, out.size()};
            case kDirectory:
                ResultFormatter::toDirectoryText(f.components(), directory_);
                return shown(directory_, out);
            case kModified:
                return localText(f.lastModificationTime);
            case kCreated:
                return localText(f.creationTime);
            case kSnapshot:
                if (f.snapshot != 0) return localText(f.snapshotCreated);
                out = "-";
                return {&out, 1};
            default:
                return localText(f.lastAccessTime);
        }
    }

    static std::size_t width(const std::string& text) {
        return plainText(text) ? text.size() : ResultFormatter::displayWidth(text);
    }

    // The columns column c's text for f takes, mostly without making it.
    std::size_t width(std::size_t c, const FOUND_FILE& f) {
        switch (c) {
            case kLead:
                return digits(leadOf(f));
            case kSize:
                return digits(f.size);
            case kRecoverable:
                return f.unowned == 0 && f.zeroed == FOUND_FILE::kNotSampled && !f.guessedGeometry &&
                               f.source != ResultSource::Logfile && f.carvedType == nullptr
                           ? digits(f.recoverable) + 1
                                                                              : cell(c, f).columns;
            case kDirectory: {
                // Printable ASCII: the text is as long, less its final
                // "/"s, "." when nothing is left.
                ResultFormatter::toDirectoryText(f.components(), directory_);
                if (plainText(directory_)) {
                    std::size_t end = directory_.size();
                    while (end > 0 && directory_[end - 1] == '/') --end;
                    return end == 0 ? 1 : end;
                }
                return cell(c, f).columns;
            }
            default:
                return cell(c, f).columns;
        }
    }

private:
    // A carved file has no record: its offset leads.
    std::uint64_t leadOf(const FOUND_FILE& f) const {
        return lead_ == ResultFormatter::Lead::Offset || f.carvedType != nullptr ? f.offset : f.recordNumber;
    }
    static Cell shown(const std::string& text, std::string& escaped) {
        if (plainText(text)) return {&text, text.size()};
        escaped.clear();
        VisibleText::append(escaped, text);
        return {&escaped, ResultFormatter::displayWidth(escaped)};
    }

    // The local time's text, converted once per distinct second.
    Cell localText(const FILE_TIME& time) {
        const auto& entry = times_.of(time, [](const FILE_TIME& t, TimeTexts<std::size_t>::Entry& e) {
            e.text = ResultFormatter::localText(t);
            e.extra = TableCells::width(e.text);
        });
        return {&entry.text, entry.extra};
    }

    ResultFormatter::Lead lead_;
    TimeTexts<std::size_t> times_;
    std::array<std::string, kCount> texts_{};
    std::string directory_;
};

// Appends one line of the table: the cells of the columns shown, padded to
// their widths (the last one not), two spaces apart.
template <typename CellOf>
void appendLine(std::string& line, const std::vector<ResultFormatter::Column>& all, const std::vector<std::size_t>& shown,
                const ColumnWidths& widths, const CellOf& cellOf) {
    for (std::size_t k = 0; k < shown.size(); ++k) {
        const std::size_t c = shown[k];
        const TableCells::Cell cell = cellOf(c);
        if (k > 0) line.append(2, ' ');
        const std::size_t fill = widths[c] > cell.columns ? widths[c] - cell.columns : 0;
        if (all[c].rightAligned) line.append(fill, ' ');
        line += *cell.text;
        if (!all[c].rightAligned && k + 1 < shown.size()) line.append(fill, ' ');
    }
    line += '\n';
}

// Highest record first: the search's record order reversed.
std::vector<const FOUND_FILE*> tableOrder(const std::vector<FOUND_FILE>& results) {
    std::vector<const FOUND_FILE*> order;
    order.reserve(results.size());
    for (auto it = results.rbegin(); it != results.rend(); ++it) order.push_back(&*it);
    auto higher = [](const FOUND_FILE* a, const FOUND_FILE* b) { return a->recordNumber > b->recordNumber; };
    if (!std::is_sorted(order.begin(), order.end(), higher)) {
        order.clear();
        for (const FOUND_FILE& f : results) order.push_back(&f);
        std::stable_sort(order.begin(), order.end(), higher);
    }
    return order;
}

// The widest cell of each column (its title included), measured in blocks
// on threads threads.
ColumnWidths measureColumns(const std::vector<const FOUND_FILE*>& order,
                            const std::vector<ResultFormatter::Column>& all, ResultFormatter::Lead lead,
                            std::size_t threads) {
    constexpr std::size_t kBlock = ResultFormatter::kTableBlock;
    ColumnWidths natural(all.size(), 0);
    for (std::size_t c = 0; c < all.size(); ++c) natural[c] = ResultFormatter::displayWidth(all[c].title);
    const std::size_t blocks = (order.size() + kBlock - 1) / kBlock;
    std::vector<ColumnWidths> found(threads, natural);
    std::atomic<std::size_t> next{0};
    std::vector<std::exception_ptr> failures(threads);
    auto measure = [&](std::size_t t) {
        try {
            TableCells cells(lead);
            for (std::size_t b = next.fetch_add(1); b < blocks; b = next.fetch_add(1)) {
                const std::size_t last = std::min(order.size(), (b + 1) * kBlock);
                for (std::size_t i = b * kBlock; i < last; ++i) {
                    for (std::size_t c = 0; c < all.size(); ++c) {
                        found[t][c] = std::max(found[t][c], cells.width(c, *order[i]));
                    }
                }
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
    for (const ColumnWidths& w : found) {
        for (std::size_t c = 0; c < all.size(); ++c) natural[c] = std::max(natural[c], w[c]);
    }
    return natural;
}

// The columns shown and their widths.
struct TableLayout {
    std::vector<std::size_t> shown;
    ColumnWidths widths;
};

// Fits the table to width (0: no limit): the columns that may be left out
// make room first, then the names and directories wider than their share
// are shortened.
TableLayout fitColumns(const std::vector<ResultFormatter::Column>& all, const ColumnWidths& natural,
                       std::size_t width) {
    using Drop = ResultFormatter::Column::Drop;
    constexpr std::size_t kGap = 2, kNarrowest = 8, kComfortable = 24;
    TableLayout layout{std::vector<std::size_t>(all.size()), natural};
    std::vector<std::size_t>& shown = layout.shown;
    for (std::size_t c = 0; c < all.size(); ++c) shown[c] = c;
    auto fixedWidth = [&] {
        std::size_t total = kGap * (shown.size() - 1);
        for (std::size_t c : shown) total += all[c].shortened ? 0 : natural[c];
        return total;
    };
    // The shortened columns' total, each at most limit(c) wide.
    auto shortenedWidth = [&](const auto& limit) {
        std::size_t total = 0;
        for (std::size_t c : shown) total += all[c].shortened ? std::min(natural[c], limit(c)) : 0;
        return total;
    };
    auto leastOf = [&](std::size_t c) { return std::max(kNarrowest, ResultFormatter::displayWidth(all[c].title)); };
    auto leaveOut = [&](Drop drop, const std::function<bool()>& enough) {
        for (std::size_t k = shown.size(); k-- > 0;) {
            if (enough()) break;
            if (all[shown[k]].drop == drop) shown.erase(shown.begin() + static_cast<std::ptrdiff_t>(k));
        }
    };
    auto comfortable = [&](std::size_t) { return kComfortable; };
    if (width == 0 || fixedWidth() + shortenedWidth([](std::size_t) { return SIZE_MAX; }) <= width) return layout;
    leaveOut(Drop::ForComfort, [&] { return fixedWidth() + shortenedWidth(comfortable) <= width; });
    leaveOut(Drop::ForRoom, [&] { return fixedWidth() + shortenedWidth(leastOf) <= width; });
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
        layout.widths[c] = std::min(natural[c], std::max(share, leastOf(c)));
        room -= std::min(room, layout.widths[c]);
    }
    return layout;
}

// Tells progress, from 0 to 100, how many of blocks are written.
OrderedBlockWriter::Written progressOf(ProgressSink* progress, std::size_t blocks) {
    if (progress == nullptr || blocks == 0) return nullptr;
    return [progress, blocks](std::size_t written) {
        progress->setPosition(static_cast<int>(written * 100 / blocks));
    };
}

} // namespace

std::string ResultFormatter::directoryText(const std::vector<std::string>& names) {
    std::string text;
    toDirectoryText(names, text);
    return text;
}

void ResultFormatter::toDirectoryText(const std::vector<std::string>& names, std::string& text) {
    // The root directory is "."; a name is shown whatever it holds (a
    // folder named "/" stays "/").
    if (names.empty()) {
        text = ".";
        return;
    }
    text = names.front();
    for (std::size_t i = 1; i < names.size(); ++i) {
        text += '/';
        text += names[i];
    }
}

std::string ResultFormatter::localText(const FILE_TIME& time) {
    const LocalTime& t = time.local();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
    return buf;
}

void ResultFormatter::recoverableText(const FOUND_FILE& f, std::string& out) {
    out = std::to_string(f.recoverable);
    out += '%';
    if (f.guessedGeometry) out += '?';  // read through a guessed geometry
    if (f.carvedType != nullptr) out += f.carvedCompressed ? ", carved, compressed" : ", carved";
    // What the content says, apart from the name: the photo's time as the
    // camera gave it; that the document has a title (--json gives it).
    if (f.hint && !f.hint->taken.empty()) out += ", taken " + f.hint->taken.substr(0, 10);
    if (f.hint && !f.hint->title.empty()) out += ", titled";
    if (f.unowned != 0) out += ", " + FailureReport::fill(Messages::kConditionUnowned, std::string(), f.unowned);
    if (f.zeroed != FOUND_FILE::kNotSampled) {
        out += ", " + FailureReport::fill(Messages::kConditionZeroed, std::string(), f.zeroed);
    }
    if (f.source == ResultSource::Logfile) {
        out += ", ";
        out += Messages::kConditionJournal;
    }
}

void ResultFormatter::writeJson(std::ostream& out, const std::vector<FOUND_FILE>& results, ProgressSink* progress,
                                bool snapshots) {
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
                              kJsonWindow, [&order, snapshots](std::size_t block, std::string& text) {
                                  const std::size_t first = block * kJsonBlock;
                                  const std::size_t count = std::min(kJsonBlock, order.size() - first);
                                  formatJsonObjects(order.data() + first, count, first == 0, text, snapshots);
                              },
                              progressOf(progress, blocks));
    out << (order.empty() ? "]" : "\n]");
}

void ResultFormatter::formatJsonObjects(const FOUND_FILE* const* results, std::size_t count, bool first,
                                        std::string& text, bool snapshots) {
    // Each thread keeps its buffer from one block to the next.
    thread_local rapidjson::StringBuffer buffer;
    buffer.Clear();
    buffer.Reserve(count * kJsonObjectBytes);
    JsonObjects objects(buffer, snapshots);
    for (std::size_t i = 0; i < count; ++i) objects.write(*results[i], first && i == 0);
    text.append(buffer.GetString(), buffer.GetSize());
}

const std::vector<ResultFormatter::Column>& ResultFormatter::tableColumns(Lead lead, bool snapshots) {
    using Drop = Column::Drop;
    static const std::vector<Column> columns{
        {"Record", true, false, Drop::Never, [](const FOUND_FILE& f) { return std::to_string(f.recordNumber); }},
        {"Name", false, true, Drop::Never, [](const FOUND_FILE& f) { return VisibleText::of(f.name); }},
        {"Size", true, false, Drop::Never, [](const FOUND_FILE& f) { return std::to_string(f.size); }},
        // What decides whether a restore is worth it: kept before names of
        // a comfortable width, left out only when nothing else makes room.
        {"Recoverable", true, false, Drop::ForRoom,
         [](const FOUND_FILE& f) {
             std::string text;
             recoverableText(f, text);
             return text;
         }},
        {"Directory", false, true, Drop::Never,
         [](const FOUND_FILE& f) { return VisibleText::of(directoryText(f.components())); }},
        {"Modified", false, false, Drop::Never, [](const FOUND_FILE& f) { return localText(f.lastModificationTime); }},
        {"Created", false, false, Drop::ForComfort, [](const FOUND_FILE& f) { return localText(f.creationTime); }},
        {"Accessed", false, false, Drop::ForComfort, [](const FOUND_FILE& f) { return localText(f.lastAccessTime); }},
    };
    static const std::vector<Column> byOffset = [] {
        std::vector<Column> c = columns;
        c.front() = {"Offset", true, false, Drop::Never, [](const FOUND_FILE& f) { return std::to_string(f.offset); }};
        return c;
    }();
    // The date of the shadow copy a file came from ("-": the volume itself).
    static const Column snapshot{"Snapshot", false, false, Drop::Never, [](const FOUND_FILE& f) {
                                     return f.snapshot == 0 ? std::string("-") : localText(f.snapshotCreated);
                                 }};
    static const std::vector<Column> withSnapshot = [] {
        std::vector<Column> c = columns;
        c.push_back(snapshot);
        return c;
    }();
    static const std::vector<Column> byOffsetWithSnapshot = [] {
        std::vector<Column> c = byOffset;
        c.push_back(snapshot);
        return c;
    }();
    if (snapshots) return lead == Lead::Offset ? byOffsetWithSnapshot : withSnapshot;
    return lead == Lead::Offset ? byOffset : columns;
}

void ResultFormatter::writeTable(std::ostream& out, const std::vector<FOUND_FILE>& results, std::size_t width,
                                 Lead lead, ProgressSink* progress, bool snapshots) {
    const std::vector<const FOUND_FILE*> order = tableOrder(results);
    // The columns' natural widths first, measured on a few threads; then
    // the rows, formatted in blocks on a few threads and written in order.
    // Nothing is kept per row in between.
    const std::vector<Column>& all = tableColumns(lead, snapshots);
    const std::size_t blocks = (order.size() + kTableBlock - 1) / kTableBlock;
    const unsigned hardware = std::thread::hardware_concurrency();
    const std::size_t threads =
        std::min<std::size_t>({hardware == 0 ? 1 : hardware, kJsonThreads, std::max<std::size_t>(blocks, 1)});
    const ColumnWidths natural = measureColumns(order, all, lead, threads);
    const TableLayout layout = fitColumns(all, natural, width);

    // Cells wider than their column are shortened as each row is formatted.
    std::vector<bool> cut(all.size(), false);
    for (std::size_t c = 0; c < all.size(); ++c) cut[c] = layout.widths[c] < natural[c];
    std::vector<std::string> titles;
    for (const Column& c : all) titles.emplace_back(c.title);
    std::string line;
    appendLine(line, all, layout.shown, layout.widths, [&titles](std::size_t c) {
        return TableCells::Cell{&titles[c], TableCells::width(titles[c])};
    });
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    OrderedBlockWriter::write(
        out, blocks, threads, kJsonWindow,
        [&](std::size_t block, std::string& text) {
            TableCells cells(lead);
            std::string shortened;
            const std::size_t last = std::min(order.size(), (block + 1) * kTableBlock);
            for (std::size_t i = block * kTableBlock; i < last; ++i) {
                appendLine(text, all, layout.shown, layout.widths, [&](std::size_t c) {
                    const TableCells::Cell cell = cells.cell(c, *order[i]);
                    if (!cut[c] || cell.columns <= layout.widths[c]) return cell;
                    shortened = shortenMiddle(*cell.text, layout.widths[c]);
                    return TableCells::Cell{&shortened, TableCells::width(shortened)};
                });
            }
        },
        progressOf(progress, blocks));
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
