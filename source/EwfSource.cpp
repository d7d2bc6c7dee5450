#include "source/EwfSource.h"

#if defined(RESURGO_HAVE_CONTAINERS)

#include <libewf.h>

#include <algorithm>
#include <thread>

#include "source/EwfSegment.h"
#include "source/FileSource.h"
#include "source/LibyalCalls.h"
#include "source/SourceError.h"

namespace resurgo {

namespace {

// The library's last message, and the error freed.
std::string takeError(libewf_error_t*& error) {
    return LibyalCalls::takeError(error, libewf_error_sprint, libewf_error_free);
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
    if (segments.count > 0) {
        for (int i = 0; i < segments.count; ++i) files_.emplace_back(segments.names[i]);
    } else {
        files_.push_back(path);
    }
    std::string why;
    libewf_handle_t* handle = openHandle(why);
    if (handle == nullptr) {
        const std::string segmentsText = files_.size() == 1 ? "its only segment file found"
                                                            : std::to_string(files_.size()) + " segment files found";
        throw SourceError(kErrOpenDisk, "the E01 image " + path + " can't be read (" + segmentsText +
                                            "; a segment file may be missing or damaged): " + why);
    }
    auto release = [&handle] {
        LibyalCalls::release<libewf_error_t>(handle, libewf_handle_close, libewf_handle_free, libewf_error_free);
    };
    // Without its last segment (the one holding the "done" section) the
    // set is marked corrupted: the missing data would read as zeros.
    if (libewf_handle_segment_files_corrupted(handle, &error) != 0) {
        if (error != nullptr) libewf_error_free(&error);
        release();
        throw SourceError(kErrOpenDisk, "the E01 image " + path + " is incomplete: " + missingSegment() + " (" +
                                            std::to_string(files_.size()) + " segment file" +
                                            (files_.size() == 1 ? "" : "s") + " found)");
    }
    size64_t media = 0;
    if (libewf_handle_get_media_size(handle, &media, &error) != 1) {
        const std::string why2 = takeError(error);
        release();
        throw SourceError(kErrOpenDisk, "the E01 image " + path + " has a damaged header: " + why2);
    }
    size_ = media;
    readers_[0].handle = handle;
    open_ = 1;
    const unsigned processors = std::thread::hardware_concurrency();
    maxHandles_ = static_cast<int>(std::clamp<unsigned>(processors, 1, kMaxHandles));
}

std::string EwfSource::missingSegment() const {
    // The first segment cut short is the one to blame; else the set stops
    // where a segment says more follow.
    for (const std::string& name : files_) {
        EwfSegment::End end = EwfSegment::End::Unknown;
        try {
            FileSource file(name, FileSource::Accept::RegularFile);
            end = EwfSegment::read(file);
        } catch (const ErrorException&) {
            return "its segment file " + baseName(name) + " can't be read";
        }
        if (end == EwfSegment::End::Cut) return "its segment file " + baseName(name) + " is cut short";
        if (end == EwfSegment::End::Next && name == files_.back()) {
            return "a segment file after " + baseName(name) + " is missing";
        }
    }
    return "a segment file is missing or damaged";
}

libewf_handle_t* EwfSource::openHandle(std::string& why) {
    libewf_error_t* error = nullptr;
    libewf_handle_t* handle = nullptr;
    if (libewf_handle_initialize(&handle, &error) != 1) {
        why = takeError(error);
        return nullptr;
    }
    std::vector<char*> names;
    for (std::string& f : files_) names.push_back(f.data());
    if (libewf_handle_open(handle, names.data(), static_cast<int>(names.size()), LIBEWF_OPEN_READ, &error) != 1) {
        why = takeError(error);
        libewf_handle_free(&handle, &error);
        if (error != nullptr) libewf_error_free(&error);
        return nullptr;
    }
    return handle;
}

EwfSource::~EwfSource() {
    for (Reader& r : readers_) {
        LibyalCalls::release<libewf_error_t>(r.handle, libewf_handle_close, libewf_handle_free, libewf_error_free);
    }
}

std::size_t EwfSource::readWith(libewf_handle_t* handle, void* buffer, std::size_t length, std::uint64_t offset,
                                const char* diagnostic) {
    return LibyalCalls::readFully<libewf_error_t>(handle, libewf_handle_read_random, libewf_error_free, buffer, length,
                                                  offset, diagnostic);
}

std::size_t EwfSource::readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) {
    if (offset >= size_) return 0;
    if (length > size_ - offset) length = static_cast<std::size_t>(size_ - offset);
    // A handle nobody is reading through.
    const int open = open_.load(std::memory_order_acquire);
    for (int i = 0; i < open; ++i) {
        if (readers_[i].mutex.try_lock()) {
            std::lock_guard<std::mutex> lock(readers_[i].mutex, std::adopt_lock);
            return readWith(readers_[i].handle, buffer, length, offset, diagnostic);
        }
    }
    // All busy: one more, while there may be.
    {
        std::unique_lock<std::mutex> opening(opening_, std::try_to_lock);
        const int next = open_.load(std::memory_order_acquire);
        if (opening.owns_lock() && next < maxHandles_) {
            std::string why;
            if (libewf_handle_t* handle = openHandle(why)) {
                std::lock_guard<std::mutex> lock(readers_[next].mutex);
                readers_[next].handle = handle;
                open_.store(next + 1, std::memory_order_release);
                opening.unlock();
                return readWith(handle, buffer, length, offset, diagnostic);
            }
            maxHandles_ = next;  // the system refuses more: make do
        }
    }
    std::lock_guard<std::mutex> lock(readers_[0].mutex);
    return readWith(readers_[0].handle, buffer, length, offset, diagnostic);
}

} // namespace resurgo

#endif
