#include "recovery/RestoreRules.h"

#include <deque>
#include <set>

#include "platform/SystemFileProbe.h"
#include "recovery/RestoreJob.h"

namespace resurgo {

namespace {

constexpr std::size_t kMaxLayers = 256;

bool sameFile(const FileProbe::Identity& a, const FileProbe::Identity& b) {
    return a.exists && b.exists && a.device == b.device && a.inode == b.inode;
}

} // namespace

RestoreRules::RestoreRules(FileProbe& probe) : probe_(probe) {}
RestoreRules::~RestoreRules() = default;

FileProbe& RestoreRules::systemProbe() {
    static SystemFileProbe probe;
    return probe;
}

bool RestoreRules::setSource(const std::string& source) {
    source_ = probe_.identify(source);
    sourceFiles_.clear();
    if (source_.isBlockDevice) {
        std::set<std::uint64_t> seen;
        std::deque<std::uint64_t> queue{source_.rdev};
        while (!queue.empty() && seen.size() < kMaxLayers) {
            std::uint64_t dev = queue.front();
            queue.pop_front();
            if (!seen.insert(dev).second) continue;
            FileProbe::Lower lower = probe_.lowerLayers(dev);
            for (std::uint64_t d : lower.devices) queue.push_back(d);
            for (const FileProbe::Identity& f : lower.files) sourceFiles_.push_back(f);
        }
    }
    return source_.exists;
}

void RestoreRules::addSourceFiles(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        FileProbe::Identity f = probe_.identify(path);
        if (f.exists && !sameFile(f, source_)) sourceFiles_.push_back(f);
    }
}

bool RestoreRules::touchesSource(std::uint64_t device) {
    // Walk down the layers from the destination's file system; any layer
    // that is the source device, or the source image, means a write there
    // reaches the source.
    std::set<std::uint64_t> seen;
    std::deque<std::uint64_t> queue{device};
    while (!queue.empty() && seen.size() < kMaxLayers) {
        std::uint64_t dev = queue.front();
        queue.pop_front();
        if (!seen.insert(dev).second) continue;
        if (source_.isBlockDevice && dev == source_.rdev) return true;
        FileProbe::Lower lower = probe_.lowerLayers(dev);
        for (std::uint64_t d : lower.devices) queue.push_back(d);
        for (const FileProbe::Identity& f : lower.files) {
            if (!source_.isBlockDevice && sameFile(f, source_)) return true;
            for (const FileProbe::Identity& s : sourceFiles_) {
                if (sameFile(f, s)) return true;
            }
            // The backing file's own file system is a layer too.
            queue.push_back(f.device);
        }
    }
    return false;
}

bool RestoreRules::destinationOnSource(const std::string& directory, const std::string& target) {
    FileProbe::Identity t = probe_.identify(target);
    if (t.exists) {
        if (sameFile(t, source_)) return true;
        for (const FileProbe::Identity& f : sourceFiles_) {
            if (sameFile(t, f)) return true;
        }
        if (source_.isBlockDevice && t.isBlockDevice && t.rdev == source_.rdev) return true;
        if (t.isBlockDevice && touchesSource(t.rdev)) return true;
        if (touchesSource(t.device)) return true;
    }
    FileProbe::Identity dir = probe_.identify(directory);
    if (dir.exists && touchesSource(dir.device)) return true;
    return false;
}

bool RestoreRules::destinationOnSource(const std::string& target) {
    // The nearest folder above target that exists: the one whose file
    // system the folders a restore makes are on.
    std::string directory = target;
    for (std::size_t depth = 0; depth < kMaxLayers; ++depth) {
        const std::size_t slash = directory.find_last_of("/\\");
        if (slash == std::string::npos) {
            directory = ".";
            break;
        }
        // The root of a drive or of the file system keeps its separator.
        const bool root = slash == 0 || (slash == 2 && directory[1] == ':');
        const std::string parent = directory.substr(0, root ? slash + 1 : slash);
        if (parent == directory) break;
        directory = parent;
        if (probe_.identify(directory).exists) break;
    }
    return destinationOnSource(directory, target);
}

RestoreRules::Existing RestoreRules::existingAt(const std::string& target) {
    // Anything with the name counts, a link that leads nowhere too.
    if (!RestoreJob::destinationExists(target)) return Existing::None;
    const FileProbe::Identity existing = probe_.identify(target);
    if (!existing.exists) return Existing::DanglingLink;
    return existing.isRegular ? Existing::File : Existing::Other;
}

RestoreRules::Overwrite RestoreRules::destinationDecision(Existing existing, bool force, bool interactive) {
    if (existing == Existing::Other) return Overwrite::Refuse;
    return overwriteDecision(existing != Existing::None, force, interactive);
}

RestoreRules::Overwrite RestoreRules::overwriteDecision(bool exists, bool force, bool interactive) {
    if (!exists || force) return Overwrite::Write;
    return interactive ? Overwrite::Ask : Overwrite::Refuse;
}

bool RestoreRules::enoughSpace(bool known, std::uint64_t available, std::uint64_t needed) {
    return !known || available >= needed;
}

bool RestoreRules::hasSpaceFor(const std::string& directory, std::uint64_t needed) {
    std::uint64_t available = 0;
    bool known = RestoreJob::availableSpace(directory, available);
    return enoughSpace(known, available, needed);
}

} // namespace resurgo
