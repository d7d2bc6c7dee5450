#pragma once
// `resurgo partitions SOURCE [--json]`: the partition table of an image,
// a container or a device, with the file system found in each partition.
// The same table is shown when a search or a restore needs --partition.

#include <ostream>
#include <string>

namespace resurgo {
class SourceStack;
}

namespace resurgo::cli {

class PartitionList {
public:
    // Returns the exit status.
    static int run(const std::string& source, bool json, std::ostream& out, std::ostream& err);

    // Columns number, start, size (bytes), scheme, type, file system,
    // label; with option, the --partition that chooses the row.
    static void writeTable(std::ostream& out, const SourceStack& stack, bool withOption);
    // One object per partition: number, start, size, scheme, type,
    // filesystem, label; indented by two, without a final newline.
    static std::string toJson(const SourceStack& stack);
    // text with control and bidirectional characters shown as escapes
    // (VisibleText): labels come from the disk and must not drive the terminal.
    static std::string printable(const std::string& text);
};

} // namespace resurgo::cli
