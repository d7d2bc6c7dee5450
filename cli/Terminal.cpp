#include "cli/Terminal.h"

namespace resurgo::cli {

bool Terminal::askYesNo(std::istream& in, std::ostream& out, const std::string& question) {
    out << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(in, answer)) {
        out << '\n';
        return false;
    }
    std::string::size_type first = answer.find_first_not_of(" \t");
    return first != std::string::npos && (answer[first] == 'y' || answer[first] == 'Y');
}

} // namespace resurgo::cli
