#include "cli/SourceChoice.h"

#include <memory>

#include "cli/ExitCode.h"
#include "cli/FailureReport.h"
#include "cli/PartitionList.h"
#include "cli/TerminalProgress.h"
#include "recovery/SystemServices.h"
#include "recovery/SourceStack.h"

namespace resurgo::cli {

namespace {

BitLockerSecret& givenSecret() {
    static BitLockerSecret secret;
    return secret;
}

} // namespace

void SourceChoice::useSecret(BitLockerSecret secret) { givenSecret() = std::move(secret); }

void SourceChoice::writeWarnings(const SourceStack& stack, std::ostream& err) {
    for (const std::string& warning : stack.warnings()) {
        err << "resurgo: warning: " << PartitionList::printable(warning) << '\n';
    }
}

int SourceChoice::report(const SourceStack& stack, const std::string& path, std::ostream& err) {
    using Status = SourceStack::Status;
    const std::string source = VisibleText::of(path);
    writeWarnings(stack, err);
    switch (stack.status()) {
        case Status::Ready:
            return kExitOk;
        case Status::OpenFailed: {
            const ErrorException& e = *stack.failure();
            if (e.code() == kErrOpenDisk || e.code() == kErrDiskGeometry) return FailureReport::bootFailure(e, source, err);
            if (!stack.container().empty()) {
                err << "resurgo: cannot read " << SourceStack::withArticle(stack.container()) << " image " << source
                    << " (damaged or cut short): " << FailureReport::reason(e) << '\n';
            } else {
                err << "resurgo: cannot read " << source << ": " << FailureReport::reason(e) << '\n';
            }
            return kExitOpenFailed;
        }
        case Status::ContainerFailed:
            err << "resurgo: " << PartitionList::printable(stack.message()) << '\n';
            return kExitOpenFailed;
        case Status::TableFailed:
            err << "resurgo: " << PartitionList::printable(stack.message()) << '\n';
            return kExitBadBoot;
        case Status::NotNtfs:
            err << "resurgo: " << PartitionList::printable(stack.message())
                << "\nresurgo: if it held an NTFS volume whose boot sector is lost, search --deep reads it for files\n";
            return kExitBadBoot;
        case Status::Locked:
            err << "resurgo: " << PartitionList::printable(stack.message()) << '\n';
            return kExitLocked;
        case Status::WrongSecret:
            err << "resurgo: " << PartitionList::printable(stack.message()) << '\n';
            return kExitWrongSecret;
        case Status::NoTable:
            err << "resurgo: " << PartitionList::printable(stack.message()) << '\n';
            return kExitUsage;
        case Status::NoNtfsPartition:
        case Status::SeveralNtfs:
        case Status::NoSuchPartition:
            err << "resurgo: " << PartitionList::printable(stack.message()) << '\n';
            if (!stack.partitions().empty()) PartitionList::writeTable(err, stack, true);
            return kExitUsage;
    }
    return kExitInternal;
}

int SourceChoice::open(SourceStack& stack, const std::string& source, std::optional<unsigned> partition,
                       std::ostream& err, bool deep) {
    // Opening may take a while (a long VHDX log): a bar on a terminal says how far it is.
    std::unique_ptr<TerminalProgress> bar;
    if (ProcessContext::isTerminal(ProcessContext::Stream::Error)) bar = std::make_unique<TerminalProgress>(err, "Opening");
    stack.setProgress(bar.get());
    stack.setSecret(givenSecret());
    const SourceStack::Status status = stack.open(source, partition, deep);
    stack.setProgress(nullptr);
    if (bar) bar->finish();
    if (status != SourceStack::Status::Ready) return report(stack, source, err);
    writeWarnings(stack, err);
    // One line per thing to know.
    const std::string& note = stack.note();
    for (std::string::size_type from = 0; from < note.size();) {
        std::string::size_type end = note.find('\n', from);
        if (end == std::string::npos) end = note.size();
        err << "resurgo: " << PartitionList::printable(note.substr(from, end - from)) << '\n';
        from = end + 1;
    }
    return kExitOk;
}

} // namespace resurgo::cli
