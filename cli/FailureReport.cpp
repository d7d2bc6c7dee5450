#include "cli/FailureReport.h"

#include "cli/ExitCode.h"
#include "cli/Messages.h"
#include "recovery/ErrorText.h"
#include "recovery/SearchJob.h"

namespace resurgo::cli {

namespace {

// A volume cut off that can't be searched: why, in its terms.
bool reportCut(const ErrorException& e, const std::string& source, std::ostream& err, const SearchJob* job) {
    if (job == nullptr || !job->sourceCutOff()) return false;
    err << "resurgo: " << FailureReport::cutOff(*job, source);
    if (job->mftOffset() >= job->sourceBytes()) {
        err << ": its MFT (at byte " << job->mftOffset() << ") lies past the end, so no file can be listed\n";
    } else if (e.code() == kErrBootFormat && job->mftMirrorOffset() >= job->sourceBytes()) {
        err << ": its boot record places the MFT's mirror (at byte " << job->mftMirrorOffset()
            << ") past the end, which its checks do not accept, so the volume is not searched\n";
    } else {
        err << ", and what is left can't be read as NTFS: " << FailureReport::reason(e) << '\n';
    }
    return true;
}

// The deep scan needs neither the boot record nor the MFT's start: it
// finds the records still on the source wherever they are.
void suggestDeep(std::ostream& err, const SearchJob* job) {
    if (job != nullptr && !job->options.deep) {
        err << "resurgo: search --deep reads all of the source for the MFT records it still holds\n";
    }
}

} // namespace

int FailureReport::bootFailure(const ErrorException& e, const std::string& source, std::ostream& err,
                               const SearchJob* job) {
    if (e.code() == kErrOpenDisk || e.code() == kErrDiskGeometry) {
        err << "resurgo: cannot open " << source << ": " << reason(e) << '\n';
        return kExitOpenFailed;
    }
    if (!reportCut(e, source, err, job)) {
        err << "resurgo: " << source << ": damaged NTFS boot record: " << reason(e) << '\n';
    }
    suggestDeep(err, job);
    return kExitBadBoot;
}

int FailureReport::openFailure(const ErrorException& e, const std::string& source, std::ostream& err,
                               const SearchJob* job) {
    if (!reportCut(e, source, err, job)) {
        err << "resurgo: " << source << ": an NTFS volume whose MFT can't be read (damaged): " << reason(e) << '\n';
    }
    suggestDeep(err, job);
    return kExitBadVolume;
}

std::string FailureReport::cutOff(const SearchJob& job, const std::string& source) {
    return source + ": an NTFS volume cut off after " + std::to_string(job.sourceBytes()) + " of " +
           std::to_string(job.volumeBytes()) + " bytes";
}

std::string FailureReport::damage(const std::string& name, const RESTORE_RESULT& result) {
    std::string text;
    if (result.damagedUnits > 0) text += fill(Messages::kRestoredDamaged, name, result.damagedUnits);
    if (!result.unreadable.empty()) {
        if (!text.empty()) text += '\n';
        text += fill(Messages::kRestoredUnreadable, name, result.unreadableBytes());
        // The ranges as byte offsets in the file, the first few of them.
        constexpr std::size_t kShown = 8;
        text += "\nresurgo: unreadable bytes of " + name + ":";
        for (std::size_t i = 0; i < result.unreadable.size() && i < kShown; ++i) {
            const auto& [offset, length] = result.unreadable[i];
            text += (i == 0 ? " " : ", ") + std::to_string(offset) + "-" + std::to_string(offset + length - 1);
        }
        if (result.unreadable.size() > kShown) {
            text += " and " + std::to_string(result.unreadable.size() - kShown) + " more range(s)";
        }
    }
    return text;
}

std::string FailureReport::reason(const ErrorException& e) { return ErrorText::reason(e); }

std::string FailureReport::fill(const char* message, const std::string& text, unsigned long long count) {
    std::string out(message);
    std::string::size_type at = out.find("%s");
    if (at != std::string::npos) {
        out.replace(at, 2, text);
        at += text.size();
    } else {
        at = 0;
    }
    // The count, whatever width the text's conversion names.
    for (const char* conversion : {"%llu", "%lu", "%u"}) {
        std::string::size_type n = out.find(conversion, at);
        if (n != std::string::npos) {
            out.replace(n, std::char_traits<char>::length(conversion), std::to_string(count));
            break;
        }
    }
    return out;
}

} // namespace resurgo::cli
