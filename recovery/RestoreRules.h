#pragma once
// The checks that protect the user's data before a restore writes: the
// destination must not lie on the source, an existing file is overwritten
// only when the user agrees, and the destination must have room.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileProbe.h"

namespace resurgo {

class RestoreRules {
public:
    enum class Overwrite { Write, Ask, Refuse };
    // What a restore finds where it would write.
    enum class Existing {
        None,          // nothing has the name
        File,          // a regular file (or a link to one)
        DanglingLink,  // a symbolic link that leads nowhere
        Other,         // a directory, a device, ...: never replaced
    };

    explicit RestoreRules(FileProbe& probe);
    // The system's own probe (stat and mount tables; volume and file
    // identities on Windows), for the front ends.
    static FileProbe& systemProbe();
    virtual ~RestoreRules();

    // Learns what the source is (block device or image file). False when
    // it can't be examined.
    bool setSource(const std::string& source);
    // Further files the source reads (a container's segments, extents and
    // parent disks): writing one of them, or onto a mount of one, is
    // writing the source too.
    void addSourceFiles(const std::vector<std::string>& paths);
    const FileProbe::Identity& source() const { return source_; }

    // True when writing target (a file in directory, which must exist)
    // could change the source: for a block device, when the directory's
    // file system lives on that device (directly, or through a partition,
    // a mapped device, a loop device or a FUSE mount) or the target is the
    // image file behind a loop-device source; for an image file,
    // when the target is the image itself or the directory's file system
    // is the image mounted through a loop device or FUSE.
    bool destinationOnSource(const std::string& directory, const std::string& target);
    // The same for a target whose folder may not exist yet: the nearest
    // folder above it that exists is asked.
    bool destinationOnSource(const std::string& target);

    // What is at target now (the link itself, not followed, for a dangling one).
    Existing existingAt(const std::string& target);
    // What to do with what is at the destination: something that is not a
    // regular file is refused whatever force says; the rest as
    // overwriteDecision.
    static Overwrite destinationDecision(Existing existing, bool force, bool interactive);

    // What to do with a destination: write it, ask first (a terminal), or
    // refuse (it exists, no --force, nobody to ask).
    static Overwrite overwriteDecision(bool exists, bool force, bool interactive);

    // False only when the free space is known and below needed: a file
    // exactly as large as the free space passes; when the space can't be
    // learned the copy goes ahead and reports a full disk itself.
    static bool enoughSpace(bool known, std::uint64_t available, std::uint64_t needed);
    // The same with the space available on the file system holding
    // directory (the platform's statvfs: f_bavail × f_frsize).
    static bool hasSpaceFor(const std::string& directory, std::uint64_t needed);

private:
    bool touchesSource(std::uint64_t device);

    FileProbe& probe_;
    FileProbe::Identity source_;
    // Files a block-device source reads through (a loop device's image).
    std::vector<FileProbe::Identity> sourceFiles_;
};

} // namespace resurgo
