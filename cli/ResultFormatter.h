#pragma once
// Shows search results: the table for people, the JSON array for programs.

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "recovery/FOUND_FILE.h"

namespace resurgo {
class ProgressSink;
}

namespace resurgo::cli {

class ResultFormatter {
public:
    // Objects formatted per block, threads that format blocks (the
    // writer's included), and how many blocks they may run ahead of it.
    static constexpr std::size_t kJsonBlock = 1024;
    static constexpr std::size_t kJsonThreads = 4;
    static constexpr std::size_t kJsonWindow = 8;
    // Room made per object before a block is formatted (most need less).
    static constexpr std::size_t kJsonObjectBytes = 320;
    // Table rows measured and formatted per block.
    static constexpr std::size_t kTableBlock = 1024;

    // A result's directory names joined by "/": "Documents/Letters", "."
    // for the root.
    static std::string directoryText(const std::vector<std::string>& names);
    // The same, in place of text.
    static void toDirectoryText(const std::vector<std::string>& names, std::string& text);
    // Local time as "YYYY-MM-DD HH:MM".
    static std::string localText(const FILE_TIME& time);
    // The recoverable percentage as the table shows it, with the notes:
    // "100%, 100% allocated but owned by no file, 3% read as zeros (wiped)".
    static void recoverableText(const FOUND_FILE& f, std::string& out);
    // The JSON array, in record order, written object by object (a search
    // may list millions of files: no whole document is built in memory).
    // progress (may be null) is told how much is written, 0 to 100. With
    // snapshots, each object has snapshot (the shadow copy's number, null
    // for the volume itself) and snapshot_created.
    static void writeJson(std::ostream& out, const std::vector<FOUND_FILE>& results,
                          ProgressSink* progress = nullptr, bool snapshots = false);
    // Appends count objects of the array to text, each after its separator
    // (first: the array's first object); zeroed only when sampled.
    static void formatJsonObjects(const FOUND_FILE* const* results, std::size_t count, bool first,
                                  std::string& text, bool snapshots = false);
    // A column of the table: its title, its alignment, whether it may be
    // shortened in the middle to fit the width, whether it may be left out
    // when the width is too small (the last such column first), and its
    // text for a result (names shown escaped).
    struct Column {
        // ForComfort: while the names and directories would get less than
        // a comfortable width; ForRoom: only when the table would not fit
        // even with them at their narrowest.
        enum class Drop { Never, ForComfort, ForRoom };
        const char* title;
        bool rightAligned;
        bool shortened;
        Drop drop;
        std::string (*text)(const FOUND_FILE&);
    };
    // What the table's first column shows: the MFT record (what restore
    // --record takes), or, for the results of a deep search, where records
    // of several volumes may share a number, the byte offset of the record
    // (what restore --offset takes).
    enum class Lead { Record, Offset };
    // The table's columns, in order: record (or offset), name, size,
    // recoverable (percent), directory, modified, created, accessed, and
    // with snapshots the date of the shadow copy a file came from.
    static const std::vector<Column>& tableColumns(Lead lead = Lead::Record, bool snapshots = false);
    // The table, highest record first, one line per file. width: the
    // columns it may take (0: no limit); names and directories wider than
    // their share are shortened in the middle with "…", and on a narrow
    // terminal the columns that may be left out make room for them.
    // The columns are measured, and the rows formatted, on a few threads;
    // progress (may be null) is told how much is written, 0 to 100.
    static void writeTable(std::ostream& out, const std::vector<FOUND_FILE>& results, std::size_t width = 0,
                           Lead lead = Lead::Record, ProgressSink* progress = nullptr, bool snapshots = false);
    // A text as VisibleText shows it, cut to at most width columns, its
    // middle replaced by "…"; an escape ("\x1b", "\u202e", "\\") or a
    // character is kept whole or left out whole.
    static std::string shortenMiddle(const std::string& shown, std::size_t width);
    // Columns a terminal needs for a UTF-8 text (wide East Asian characters
    // and emoji count two).
    static std::size_t displayWidth(const std::string& text);
};

} // namespace resurgo::cli
