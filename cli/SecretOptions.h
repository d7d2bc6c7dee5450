#pragma once
// The options that unlock a BitLocker volume (--password,
// --recovery-password, --key-file), shared by the commands that open a
// volume. "-" reads the secret from the terminal without echo, or one line
// of standard input when it is not a terminal: a secret on the command
// line stays in the shell's history and shows in the process list.

#include <ostream>
#include <string>

namespace CLI {
class App;
}

namespace resurgo::cli {

class SecretOptions {
public:
    struct Values {
        std::string password;
        std::string recoveryPassword;
        std::string keyFile;
        ~Values();
    };

    // Adds the three options to command, bound to values.
    static void define(CLI::App& command, Values& values);
    // After the parse: hands the secret given (if any) to SourceChoice and
    // wipes values. kExitOk, or kExitUsage (the message went to err) when
    // more than one was given or "-" read nothing.
    static int take(Values& values, std::ostream& err);
};

} // namespace resurgo::cli
