#pragma once
// A directory that receives restored files, held open through the
// platform layer: directories and files inside it are made relative to the
// open directory, never through a symbolic link, and never over anything
// that exists. A name that is taken gets the first free numbered name
// ("name (1)"); any other failure is raised at once with the system's
// reason (ErrorException, code 22 for a directory, 23 for a file).

#include <map>
#include <string>

#include "core/ErrorException.h"
#include "platform/Platform.h"

namespace resurgo {

class OutputDirectory {
public:
    // Numbered names tried for one name before giving up.
    static constexpr unsigned kMaxNumber = 100000;

    // Opens the directory path (making it and its missing parents when
    // create).
    OutputDirectory(const std::string& path, bool create);
    ~OutputDirectory();
    OutputDirectory(OutputDirectory&& other) noexcept;
    OutputDirectory& operator=(OutputDirectory&& other) noexcept;
    OutputDirectory(const OutputDirectory&) = delete;
    OutputDirectory& operator=(const OutputDirectory&) = delete;

    // The directory name inside this one: made when missing, reused when
    // it is a directory; when anything else has the name, the first
    // numbered name that is free or a directory.
    OutputDirectory enter(const std::string& name);
    // A new file name inside this one, or the first numbered name that is
    // free; used tells which. The caller closes the handle.
    OsHandle createFile(const std::string& name, std::string& used);
    // Deletes the file name inside this one (one made here, closed).
    bool remove(const std::string& name);

    // The path as given, followed by the names entered ("/" separators).
    const std::string& path() const { return path_; }

    // What a failure raised here (or by a FileOutput made in a directory)
    // means.
    static OutputFailure failureOf(const ErrorException& e);

private:
    OutputDirectory(OsHandle handle, std::string path);
    // The number to try first for name (numbers below it were taken).
    unsigned firstNumber(const std::string& name) const;
    void remember(const std::string& name, unsigned n);

    OsHandle handle_ = kNoHandle;
    std::string path_;
    // Numbers found taken, by name: a directory where many files share a
    // name costs one try per file, not one per file already written.
    std::map<std::string, unsigned> taken_;
};

} // namespace resurgo
