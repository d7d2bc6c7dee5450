#include "source/EwfSource.h"

#if defined(RESURGO_HAVE_CONTAINERS)

#include <libewf.h>

#include "source/SourceError.h"

namespace resurgo {

namespace {

// The library's last message, and the error freed.
std::string takeError(libewf_error_t*& error) {
    if (error == nullptr) return "unknown error";
    char text[512] = {};
    libewf_error_sprint(error, text, sizeof text);
    libewf_error_free(&error);
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '.')) s.pop_back();
    return s;
}

// The segment names libewf_glob found, freed however the constructor ends.
struct Segments {
    char** names = nullptr;
    int count = 0;
    ~Segments() {
        libewf_error_t* error = nullptr;
        if (names != nullptr) libewf_glob_free(names, count, &error);
        if (error != nullptr) libewf_error_free(&error);
    }
};

} // namespace

EwfSource::EwfSource(const std::string& path, const SourceIdentity& identity)
    : ContainerSource(ContainerFormat::Kind::Ewf, identity) {
    libewf_error_t* error = nullptr;
    Segments segments;
    // The glob follows the naming scheme from the first segment's
    // extension; a first segment under another name is opened alone.
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &segments.names, &segments.count, &error) != 1 ||
        segments.count < 1) {
        if (error != nullptr) libewf_error_free(&error);
        segments.names = nullptr;
        segments.count = 0;
    }
    std::vector<char*> names;
    std::string single = path;
    if (segments.count > 0) {
        for (int i = 0; i < segments.count; ++i) {
            names.push_back(segments.names[i]);
            files_.emplace_back(segments.names[i]);
        }
    } else {
        names.push_back(single.data());
        files_.push_back(path);
    }
    if (libewf_handle_initialize(&handle_, &error) != 1) {
        throw SourceError(kErrNoMemory, "cannot read the E01 image " + path + ": " + takeError(error));
    }
    if (libewf_handle_open(handle_, names.data(), static_cast<int>(names.size()), LIBEWF_OPEN_READ, &error) != 1) {
        const std::string why = takeError(error);
        libewf_handle_free(&handle_, &error);
        if (error != nullptr) libewf_error_free(&error);
        const std::string segmentsText = names.size() == 1 ? "its only segment file found"
                                                           : std::to_string(names.size()) + " segment files found";
        throw SourceError(kErrOpenDisk, "the E01 image " + path + " can't be read (" + segmentsText +
                                            "; a segment file may be missing or damaged): " + why);
    }
    // Without its last segment (the one holding the "done" section) the
    // set is marked corrupted: the missing data would read as zeros.
    const int corrupted = libewf_handle_segment_files_corrupted(handle_, &error);
    if (corrupted != 0) {
        if (error != nullptr) libewf_error_free(&error);
        libewf_handle_close(handle_, &error);
        if (error != nullptr) libewf_error_free(&error);
        libewf_handle_free(&handle_, &error);
        if (error != nullptr) libewf_error_free(&error);
        throw SourceError(kErrOpenDisk, "the E01 image " + path + " is incomplete: a segment file after " +
                                            baseName(files_.back()) + " is missing or damaged (" +
                                            std::to_string(files_.size()) + " segment file" +
                                            (files_.size() == 1 ? "" : "s") + " found beside it)");
    }
    size64_t media = 0;
    if (libewf_handle_get_media_size(handle_, &media, &error) != 1) {
        const std::string why = takeError(error);
        libewf_handle_close(handle_, &error);
        if (error != nullptr) libewf_error_free(&error);
        libewf_handle_free(&handle_, &error);
        if (error != nullptr) libewf_error_free(&error);
        throw SourceError(kErrOpenDisk, "the E01 image " + path + " has a damaged header: " + why);
    }
    size_ = media;
}

EwfSource::~EwfSource() {
    libewf_error_t* error = nullptr;
    libewf_handle_close(handle_, &error);
    if (error != nullptr) libewf_error_free(&error);
    libewf_handle_free(&handle_, &error);
    if (error != nullptr) libewf_error_free(&error);
}

std::size_t EwfSource::readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) {
    if (offset >= size_) return 0;
    if (length > size_ - offset) length = static_cast<std::size_t>(size_ - offset);
    std::lock_guard<std::mutex> lock(mutex_);
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        libewf_error_t* error = nullptr;
        const ssize_t got = libewf_handle_read_random(handle_, out + done, length - done,
                                                      static_cast<off64_t>(offset + done), &error);
        if (got < 0) {
            if (error != nullptr) libewf_error_free(&error);
            throw ErrorException(kErrReadDisk, diagnostic);
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

} // namespace resurgo

#endif
