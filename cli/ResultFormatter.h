#pragma once
// Shows search results: the table for people, the JSON array for programs.

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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
    // Table rows formatted per block, and the table's columns.
    static constexpr std::size_t kTableBlock = 1024;
    static constexpr std::size_t kTableColumns = 7;

    // The engine's directory text ("Documents\Letters\", ".\") with "/"
    // separators and no final one: "Documents/Letters", "." for the root.
    static std::string directoryText(const std::string& engineDirectory);
    // The same in place.
    static void toDirectoryText(std::string& text);
    // Local time as "YYYY-MM-DD HH:MM".
    static std::string localText(const FILE_TIME& time);
    // One object per result.
    static nlohmann::ordered_json toJson(const FOUND_FILE& result);
    // The JSON array, in record order, written object by object (a search
    // may list millions of files: no whole document is built in memory).
    // progress (may be null) is told how much is written, 0 to 100.
    static void writeJson(std::ostream& out, const std::vector<FOUND_FILE>& results,
                          ProgressSink* progress = nullptr);
    // Appends count objects of the array to text, each after its separator
    // (first: the array's first object).
    static void formatJsonObjects(const FOUND_FILE* const* results, std::size_t count, bool first,
                                  std::string& text);
    // Columns name, size, recoverable (percent), directory, modified,
    // created, accessed; highest record first.
    static void writeTable(std::ostream& out, const std::vector<FOUND_FILE>& results,
                           ProgressSink* progress = nullptr);
    // Columns a terminal needs for a UTF-8 text (wide East Asian characters
    // and emoji count two).
    static std::size_t displayWidth(const std::string& text);
};

} // namespace resurgo::cli
