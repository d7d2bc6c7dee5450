#pragma once
// The terminal the user sits at: yes/no questions. Whether a standard
// stream is a terminal: platform/ProcessContext.

#include <istream>
#include <ostream>
#include <string>

namespace resurgo::cli {

class Terminal {
public:
    // Writes "question [y/N] " and reads one line; yes only for an answer
    // beginning with y or Y (end of input is no).
    static bool askYesNo(std::istream& in, std::ostream& out, const std::string& question);
};

} // namespace resurgo::cli
