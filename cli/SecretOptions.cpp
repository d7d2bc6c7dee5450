#include "cli/SecretOptions.h"

#include <CLI/CLI.hpp>

#include "cli/ExitCode.h"
#include "cli/SourceChoice.h"
#include "recovery/SourceStack.h"
#include "recovery/SystemServices.h"

namespace resurgo::cli {

namespace {

void wipe(std::string& text) {
    volatile char* p = &text[0];
    for (std::size_t i = 0; i < text.size(); ++i) p[i] = 0;
    text.clear();
}

} // namespace

SecretOptions::Values::~Values() {
    wipe(password);
    wipe(recoveryPassword);
}

void SecretOptions::define(CLI::App& command, Values& values) {
    command.add_option("--password", values.password,
                       "Unlock a BitLocker volume with its password; - reads it without echo from the terminal (or "
                       "one line of standard input). Given on the command line it stays in the shell's history and "
                       "shows in the process list: prefer -")
        ->type_name("TEXT");
    command.add_option("--recovery-password", values.recoveryPassword,
                       "Unlock a BitLocker volume with its 48-digit recovery password (dashes optional); - reads it "
                       "as --password - does")
        ->type_name("DIGITS");
    command.add_option("--key-file", values.keyFile, "Unlock a BitLocker volume with its startup key file (.BEK)")
        ->type_name("PATH");
}

int SecretOptions::take(Values& values, std::ostream& err) {
    const int given = !values.password.empty() + !values.recoveryPassword.empty() + !values.keyFile.empty();
    if (given > 1) {
        err << "resurgo: give one of --password, --recovery-password and --key-file\n";
        return kExitUsage;
    }
    if (given == 0) return kExitOk;
    using Kind = BitLockerSecret::Kind;
    const Kind kind = !values.password.empty() ? Kind::Password
                      : !values.recoveryPassword.empty() ? Kind::RecoveryPassword
                                                          : Kind::KeyFile;
    std::string& text = kind == Kind::Password ? values.password
                        : kind == Kind::RecoveryPassword ? values.recoveryPassword
                                                         : values.keyFile;
    if (text == "-" && kind != Kind::KeyFile) {
        const char* prompt = kind == Kind::Password ? "BitLocker password: " : "BitLocker recovery password: ";
        std::string typed;
        const bool read = SecretInput::read(prompt, typed) && !typed.empty();
        if (read) SourceChoice::useSecret(BitLockerSecret::of(kind, typed));
        wipe(typed);
        if (!read) {
            err << "resurgo: no " << (kind == Kind::Password ? "password" : "recovery password") << " was read\n";
            return kExitUsage;
        }
    } else {
        SourceChoice::useSecret(BitLockerSecret::of(kind, text));
    }
    wipe(values.password);
    wipe(values.recoveryPassword);
    return kExitOk;
}

} // namespace resurgo::cli
