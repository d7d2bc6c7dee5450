#pragma once
// Which disk image container a source is, told by its signature alone
// (never by the file's name): EWF (E01), VHD, VHDX, VMDK (sparse, stream-
// optimized, or the text descriptor of a flat or split disk) and QCOW.

#include <cstdint>

namespace resurgo {

class Source;

class ContainerFormat {
public:
    enum class Kind { None, Ewf, Vhd, Vhdx, Vmdk, Qcow };

    // Reads the first sector and the last 512 bytes (where a fixed VHD
    // keeps its footer). Raises only when the source can't be read.
    static Kind detect(Source& source);
    // From the first bytes of a source (at least 512 when it has them) and
    // its last 512 bytes (empty when the source is shorter).
    static Kind detect(const std::uint8_t* head, std::size_t headSize, const std::uint8_t* tail, std::size_t tailSize);
    // "E01", "VHD", "VHDX", "VMDK", "QCOW2"; "" for None.
    static const char* name(Kind kind);
    // Whether this build reads containers (the Linux build).
    static bool supported();
};

} // namespace resurgo
