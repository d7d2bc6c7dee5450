#include "recovery/OutputDirectory.h"

#include <utility>

#include "core/ErrorException.h"
#include "recovery/OutputName.h"

namespace resurgo {

namespace {

// Names remembered per directory; beyond that the memory starts again.
constexpr std::size_t kRememberedNames = 4096;

std::string joined(const std::string& directory, const std::string& name) {
    if (directory.empty()) return name;
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

} // namespace

OutputDirectory::OutputDirectory(const std::string& path, bool create)
    : handle_(platform().openOutputDirectory(path, create)), path_(path) {
    if (handle_ == kNoHandle) {
        throw ErrorException(kErrCreateDirectory, platform().lastError(), "OutputDirectory::OutputDirectory");
    }
}

OutputDirectory::OutputDirectory(OsHandle handle, std::string path) : handle_(handle), path_(std::move(path)) {}

OutputDirectory::~OutputDirectory() {
    if (handle_ != kNoHandle) platform().closeOutputDirectory(handle_);
}

OutputDirectory::OutputDirectory(OutputDirectory&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)), path_(std::move(other.path_)), taken_(std::move(other.taken_)) {}

OutputDirectory& OutputDirectory::operator=(OutputDirectory&& other) noexcept {
    if (this != &other) {
        if (handle_ != kNoHandle) platform().closeOutputDirectory(handle_);
        handle_ = std::exchange(other.handle_, kNoHandle);
        path_ = std::move(other.path_);
        taken_ = std::move(other.taken_);
    }
    return *this;
}

OutputFailure OutputDirectory::failureOf(const ErrorException& e) {
    return platform().outputFailure(e.systemError());
}

unsigned OutputDirectory::firstNumber(const std::string& name) const {
    auto it = taken_.find(name);
    return it == taken_.end() ? 0 : it->second;
}

void OutputDirectory::remember(const std::string& name, unsigned n) {
    if (taken_.size() >= kRememberedNames && taken_.count(name) == 0) taken_.clear();
    taken_[name] = n;
}

OutputDirectory OutputDirectory::enter(const std::string& name) {
    std::uint32_t err = 0;
    for (unsigned n = 0; n < kMaxNumber; ++n) {
        const std::string candidate = n == 0 ? name : name + " (" + std::to_string(n) + ")";
        OsHandle h = platform().enterOutputDirectory(handle_, candidate);
        if (h != kNoHandle) return OutputDirectory(h, joined(path_, candidate));
        err = platform().lastError();
        if (platform().outputFailure(err) != OutputFailure::Exists) break;
    }
    throw ErrorException(kErrCreateDirectory, err, "OutputDirectory::enter");
}

OsHandle OutputDirectory::createFile(const std::string& name, std::string& used) {
    std::uint32_t err = 0;
    for (unsigned n = firstNumber(name); n < kMaxNumber; ++n) {
        const std::string candidate = n == 0 ? name : OutputName::numbered(name, n);
        OsHandle h = platform().createOutputIn(handle_, candidate, OutputMode::NewOnly);
        if (h != kNoHandle) {
            remember(name, n + 1);
            used = candidate;
            return h;
        }
        err = platform().lastError();
        if (platform().outputFailure(err) != OutputFailure::Exists) break;
    }
    throw ErrorException(kErrOpenOutput, err, "OutputDirectory::createFile");
}

bool OutputDirectory::remove(const std::string& name) { return platform().removeOutputIn(handle_, name); }

} // namespace resurgo
