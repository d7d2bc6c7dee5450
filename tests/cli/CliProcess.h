#pragma once
// Runs the built resurgo binary with arguments and collects its exit
// status, standard output and standard error. Standard input is /dev/null,
// so the command never sees a terminal.

#include <string>
#include <vector>

namespace resurgo::test {

class CliProcess {
public:
    struct Result {
        int status = -1;  // exit status; 128 + signal when killed
        std::string out;
        std::string err;
    };

    // env: variables set for the command ("COLUMNS=80"), beside the
    // test's own. limitSeconds: the command is killed (SIGALRM, status
    // 142) when it runs longer (0: no limit).
    static Result run(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                      unsigned limitSeconds = 0);
    static std::string binary();
    // SHA-256 of a large file (an image) by the system's sha256sum, much
    // faster than the tests' own digest under the sanitizers.
    static std::string sha256File(const std::string& path);
};

} // namespace resurgo::test
