#pragma once
// Turns the engine's failures into the user's messages and exit statuses,
// the same for the search and the restore.

#include <cstdint>
#include <ostream>
#include <string>

#include "recovery/SystemServices.h"
#include "recovery/RESTORE_RESULT.h"

namespace resurgo {
class SearchJob;
}

namespace resurgo::cli {

class FailureReport {
public:
    // The boot record could not be read: an open failure (with the
    // system's error text), a volume cut off (what job read of its boot
    // record says how), or a damaged NTFS boot record.
    static int bootFailure(const ErrorException& e, const std::string& source, std::ostream& err,
                           const SearchJob* job = nullptr);
    // The volume's MFT could not be opened: cut off before it, or damaged.
    static int openFailure(const ErrorException& e, const std::string& source, std::ostream& err,
                           const SearchJob* job = nullptr);
    // "disk.img: an NTFS volume cut off after 2097152 of 16776704 bytes".
    static std::string cutOff(const SearchJob& job, const std::string& source);
    // The system's text for an error value, or the error code's own
    // description when the failure was not a system call's, followed by
    // the record and byte a format failure was found at, when known.
    static std::string reason(const ErrorException& e);
    // A message with one %s replaced by text (and one %u, %lu or %llu by
    // count).
    static std::string fill(const char* message, const std::string& text, unsigned long long count = 0);
    // What a restore that went through lost: the damaged compressed units
    // and the byte ranges that could not be read, one line each.
    static std::string damage(const std::string& name, const RESTORE_RESULT& result);
};

} // namespace resurgo::cli
