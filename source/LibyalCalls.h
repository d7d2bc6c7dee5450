#pragma once
// The conventions the container libraries (libewf, libvhdi, libvmdk,
// libqcow) share, once: each has its own handle and error types, but every
// call takes an error out-parameter the caller must free, handles are
// closed then freed, and a read at an offset may return fewer bytes than
// asked. The library's functions are passed in, so one body serves all.

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

#include "core/ErrorException.h"

namespace resurgo {

class LibyalCalls {
public:
    // The library's message for error, without its trailing newline and
    // full stop, and the error freed; "unknown error" when there is none.
    template <typename Error, typename Sprint, typename FreeError>
    static std::string takeError(Error*& error, Sprint sprint, FreeError freeError) {
        if (error == nullptr) return "unknown error";
        char text[512] = {};
        sprint(error, text, sizeof text);
        freeError(&error);
        std::string s(text);
        while (!s.empty() && (s.back() == '\n' || s.back() == '.')) s.pop_back();
        return s;
    }

    // Frees error when a call set it and its message is not wanted.
    template <typename Error, typename FreeError>
    static void drop(Error*& error, FreeError freeError) {
        if (error != nullptr) freeError(&error);
    }

    // Closes and frees handle, whatever either call says (nothing was
    // written through it, so a failing close loses nothing).
    template <typename Error, typename Handle, typename Close, typename FreeHandle, typename FreeError>
    static void release(Handle*& handle, Close close, FreeHandle freeHandle, FreeError freeError) {
        if (handle == nullptr) return;
        Error* error = nullptr;
        close(handle, &error);
        drop(error, freeError);
        freeHandle(&handle, &error);
        drop(error, freeError);
    }

    // Reads length bytes at offset through read (the library's
    // read-at-offset call) until they are all there or the media ends;
    // a failing read raises kErrReadDisk with diagnostic.
    template <typename Error, typename Handle, typename Read, typename FreeError>
    static std::size_t readFully(Handle* handle, Read read, FreeError freeError, void* buffer, std::size_t length,
                                 std::uint64_t offset, const char* diagnostic) {
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::size_t done = 0;
        while (done < length) {
            Error* error = nullptr;
            const ssize_t got = read(handle, out + done, length - done, static_cast<off64_t>(offset + done), &error);
            if (got < 0) {
                drop(error, freeError);
                throw ErrorException(kErrReadDisk, diagnostic);
            }
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
        }
        return done;
    }
};

} // namespace resurgo
