// resurgo: the Linux command line of Resurgo for NTFS.

#include <exception>
#include <iostream>

#include "cli/CommandLine.h"
#include "cli/ExitCode.h"
#include "recovery/SystemServices.h"

int main(int argc, char** argv) {
    try {
        return resurgo::cli::CommandLine(std::cout, std::cerr, std::cin).run(argc, argv);
    } catch (const resurgo::ErrorException& e) {
        std::cerr << "resurgo: internal error " << e.code() << " (" << resurgo::VisibleText::of(e.diagnostic()) << ")\n";
    } catch (const std::exception& e) {
        std::cerr << "resurgo: internal error: " << resurgo::VisibleText::of(e.what()) << '\n';
    }
    return resurgo::cli::kExitInternal;
}
