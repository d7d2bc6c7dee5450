#include "cli/CliProcess.h"

#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "support/TestSupport.h"

namespace resurgo::test {

std::string CliProcess::binary() { return RESURGO_CLI_BINARY; }

std::string CliProcess::sha256File(const std::string& path) {
    std::string quoted = "'";
    for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    FILE* p = ::popen(("sha256sum " + quoted).c_str(), "r");
    if (p == nullptr) throw std::runtime_error("cannot run sha256sum");
    char hex[65] = {};
    std::size_t got = std::fread(hex, 1, 64, p);
    ::pclose(p);
    if (got != 64) throw std::runtime_error("sha256sum failed on " + path);
    return std::string(hex, 64);
}

CliProcess::Result CliProcess::run(const std::vector<std::string>& args, const std::vector<std::string>& env,
                                   unsigned limitSeconds) {
    // ctest runs test processes side by side: one directory per process.
    const std::string dir = tempDir("cli-run-" + std::to_string(::getpid()));
    const std::string outPath = dir + "/out", errPath = dir + "/err";
    std::vector<std::string> argv{binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    // The environment is made before the fork: the child only execs.
    std::vector<std::string> variables(env);
    for (char** e = environ; *e != nullptr; ++e) variables.emplace_back(*e);
    std::vector<char*> rawEnv;
    for (std::string& v : variables) rawEnv.push_back(v.data());
    rawEnv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (limitSeconds != 0) ::alarm(limitSeconds);  // kept across exec
        ::execve(raw[0], raw.data(), rawEnv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    Result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    auto text = [](const std::string& path) {
        std::vector<std::uint8_t> bytes = readFile(path);
        return std::string(bytes.begin(), bytes.end());
    };
    r.out = text(outPath);
    r.err = text(errPath);
    return r;
}

} // namespace resurgo::test
