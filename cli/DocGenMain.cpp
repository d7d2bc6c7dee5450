// resurgo_docgen: writes the man page or the bash completion script of the
// resurgo command, made from its definitions, at build time.
//   resurgo_docgen man DATE FILE      (DATE: YYYY-MM-DD)
//   resurgo_docgen completion FILE

#include <fstream>
#include <iostream>
#include <string>

#include "cli/CommandLine.h"

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    std::string text;
    std::string path;
    if (what == "man" && argc == 4) {
        text = resurgo::cli::CommandLine::manPage(argv[2]);
        path = argv[3];
    } else if (what == "completion" && argc == 3) {
        text = resurgo::cli::CommandLine::bashCompletion();
        path = argv[2];
    } else {
        std::cerr << "usage: resurgo_docgen man DATE FILE | completion FILE\n";
        return 2;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::cerr << "resurgo_docgen: cannot write " << path << '\n';
        return 1;
    }
    return 0;
}
