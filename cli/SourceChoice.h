#pragma once
// Opens the volume a search or a restore reads (SourceStack: container,
// partition table, --partition) and tells the user what happened: the
// partition chosen on its own, or why nothing could be, with the
// partitions to choose from.

#include <optional>
#include <ostream>
#include <string>

namespace resurgo {
class SourceStack;
struct BitLockerSecret;
}

namespace resurgo::cli {

class SourceChoice {
public:
    // kExitOk when stack.volume() is ready to search (a note, if any, went
    // to err); else the message went to err and the exit status is returned.
    // deep: the volume is read by a deep scan (see SourceStack::open).
    static int open(SourceStack& stack, const std::string& source, std::optional<unsigned> partition,
                    std::ostream& err, bool deep = false);
    // The message and exit status of a stack that is not Ready.
    static int report(const SourceStack& stack, const std::string& source, std::ostream& err);
    // The secret every later open() unlocks a BitLocker volume with (the
    // command line gives one per run).
    static void useSecret(BitLockerSecret secret);
    // The stack's warnings, one line each.
    static void writeWarnings(const SourceStack& stack, std::ostream& err);
};

} // namespace resurgo::cli
