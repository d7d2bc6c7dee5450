#include "recovery/FileOutput.h"

#include "core/ErrorException.h"
#include "recovery/OutputDirectory.h"

namespace resurgo {

OsHandle FileOutput::create(const std::string& path, OutputMode mode) {
    OsHandle h = platform().createOutput(path, mode);
    if (h == kNoHandle) {
        std::uint32_t err = platform().lastError();
        throw ErrorException(kErrOpenOutput, err, "FilesystemNTFS::openOutputFile");
    }
    return h;
}

FileOutput::FileOutput(const std::string& path, OutputMode mode)
    : handle_(create(path, mode)), owned_(true), path_(path) {}

FileOutput::FileOutput(OutputDirectory& directory, const std::string& name) : directory_(&directory) {
    handle_ = directory.createFile(name, name_);
    owned_ = true;
}

FileOutput::FileOutput(OsHandle borrowed) : handle_(borrowed), owned_(false) {}

FileOutput::~FileOutput() {
    if (owned_ && handle_ != kNoHandle) platform().closeOutput(handle_);
}

void FileOutput::write(const std::uint8_t* data, std::size_t length, const char* diagnostic) {
    while (length > 0) {
        std::size_t written = 0;
        if (!platform().writeOutput(handle_, data, length, written) || written == 0) {
            std::uint32_t err = platform().lastError();
            throw ErrorException(kErrWriteOutput, err, diagnostic);
        }
        data += written;
        length -= written;
    }
}

void FileOutput::skip(std::uint64_t length, const char* diagnostic) {
    if (length == 0) return;
    if (!platform().skipOutput(handle_, length)) {
        std::uint32_t err = platform().lastError();
        throw ErrorException(kErrWriteOutput, err, diagnostic);
    }
}

void FileOutput::setSize(std::uint64_t size) {
    if (!platform().setOutputSize(handle_, size)) {
        std::uint32_t err = platform().lastError();
        throw ErrorException(kErrWriteOutput, err, "FilesystemNTFS::copyFileZ");
    }
}

void FileOutput::setTimes(std::uint64_t modifiedNt, std::uint64_t accessedNt) {
    platform().setOutputTimes(handle_, modifiedNt, accessedNt);
}

bool FileOutput::close() {
    if (!owned_ || handle_ == kNoHandle) return true;
    OsHandle h = handle_;
    handle_ = kNoHandle;
    if (platform().closeOutput(h)) return true;
    closeError_ = platform().lastError();
    return false;
}

bool FileOutput::remove() {
    if (!owned_ || handle_ != kNoHandle) return false;
    if (directory_ != nullptr) return directory_->remove(name_);
    return platform().removeOutput(path_);
}

} // namespace resurgo
