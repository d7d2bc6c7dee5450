#pragma once
// An output file made through the platform layer: created at a path (a
// new file, or one that replaces what had the name), created under a free
// name inside an output directory, or an already open handle that the
// caller keeps.

#include <cstdint>
#include <string>

#include "platform/Platform.h"
#include "recovery/OutputSink.h"

namespace resurgo {

class OutputDirectory;

class FileOutput : public OutputSink {
public:
    // Creates the file; raises code 23 with the system's error.
    FileOutput(const std::string& path, OutputMode mode);
    // Creates name, or the first free numbered name, inside directory
    // (name() tells which); raises code 23 with the system's error.
    FileOutput(OutputDirectory& directory, const std::string& name);
    // Writes into a handle the caller opened and will close.
    explicit FileOutput(OsHandle borrowed);
    ~FileOutput() override;
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;

    void write(const std::uint8_t* data, std::size_t length, const char* diagnostic) override;
    // Leaves a hole: the file's size is set afterwards (setSize) when the
    // hole ends it.
    void skip(std::uint64_t length, const char* diagnostic) override;
    void setSize(std::uint64_t size) override;
    void setTimes(std::uint64_t modifiedNt, std::uint64_t accessedNt) override;
    // Closes a file this object created; false (with the system's reason in
    // closeError) when the system reports a late write failure on close.
    bool close();
    std::uint32_t closeError() const { return closeError_; }
    // Deletes the file this object created, once closed (a link that took
    // its name since is removed, never followed); false when it can't.
    bool remove();
    // The name the file was created under inside an output directory.
    const std::string& name() const { return name_; }

    static OsHandle create(const std::string& path, OutputMode mode);

private:
    OsHandle handle_ = kNoHandle;
    bool owned_ = false;
    std::uint32_t closeError_ = 0;
    // Where the file was made: a path, or a name inside directory_.
    std::string path_;
    OutputDirectory* directory_ = nullptr;
    std::string name_;
};

} // namespace resurgo
