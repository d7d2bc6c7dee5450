#pragma once
// Names for restored files and directories, made from the names read off
// a volume. Those are untrusted: NTFS keeps any UTF-16 there, and an image
// may hold anything. Each name made here names one ordinary entry of the
// directory it is made in, on the system it is made for; both front ends
// use these rules.

#include <string>
#include <vector>

namespace resurgo {

class OutputName {
public:
    // The rules of the system this program runs on (windows() on Windows,
    // posix() elsewhere).
    static std::string local(const std::string& name);
    // POSIX: "/" and NUL become "_"; "", "." and ".." become "_", "_." and
    // "_..". Everything else is kept byte for byte.
    static std::string posix(const std::string& name);
    // Windows: path separators, ":" (a stream name) and the other
    // characters Windows refuses (*?"<>|), control characters (C0, DEL,
    // C1), bidirectional controls and malformed UTF-8 become "_"; so does
    // the first dot of each "..", and each dot or space at the end; a
    // reserved device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, with
    // or without an extension) gets a "_" in front; "" becomes "_".
    static std::string windows(const std::string& name);
    // "name (n).ext": the number goes before the last extension.
    static std::string numbered(const std::string& name, unsigned n);
};

} // namespace resurgo
