#include "source/ContainerFormat.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "source/Source.h"

namespace resurgo {

namespace {

// EWF version 1 (E01, written by most imagers): "EVF" 09 0D 0A FF 00.
constexpr std::uint8_t kEwfSignature[] = {'E', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};
constexpr char kVhdxSignature[] = "vhdxfile";      // file type identifier at 0
constexpr char kVhdCookie[] = "conectix";          // footer; a dynamic disk copies it to 0
constexpr char kVmdkSparse[] = "KDMV";             // hosted sparse extent header
constexpr char kVmdkCowd[] = "COWD";               // ESX sparse extent header
constexpr char kVmdkDescriptor[] = "# Disk DescriptorFile";
constexpr std::uint8_t kQcowMagic[] = {'Q', 'F', 'I', 0xFB};
constexpr std::size_t kTailBytes = 512;

bool startsWith(const std::uint8_t* data, std::size_t size, const void* signature, std::size_t length) {
    return size >= length && std::memcmp(data, signature, length) == 0;
}

} // namespace

ContainerFormat::Kind ContainerFormat::detect(const std::uint8_t* head, std::size_t headSize, const std::uint8_t* tail,
                                              std::size_t tailSize) {
    if (startsWith(head, headSize, kEwfSignature, sizeof kEwfSignature)) return Kind::Ewf;
    if (startsWith(head, headSize, kVhdxSignature, 8)) return Kind::Vhdx;
    if (startsWith(head, headSize, kVhdCookie, 8)) return Kind::Vhd;
    if (startsWith(head, headSize, kVmdkSparse, 4) || startsWith(head, headSize, kVmdkCowd, 4) ||
        startsWith(head, headSize, kVmdkDescriptor, sizeof kVmdkDescriptor - 1)) {
        return Kind::Vmdk;
    }
    if (startsWith(head, headSize, kQcowMagic, sizeof kQcowMagic)) return Kind::Qcow;
    // A fixed VHD is the raw disk followed by its 512-byte footer.
    if (tailSize >= kTailBytes && startsWith(tail, tailSize, kVhdCookie, 8)) return Kind::Vhd;
    return Kind::None;
}

ContainerFormat::Kind ContainerFormat::detect(Source& source) {
    std::vector<std::uint8_t> head(kTailBytes, 0);
    const std::size_t headSize = source.readAt(head.data(), head.size(), 0, "ContainerFormat::detect");
    std::vector<std::uint8_t> tail;
    const std::uint64_t size = source.size();
    if (size >= 2 * kTailBytes) {
        tail.assign(kTailBytes, 0);
        tail.resize(source.readAt(tail.data(), tail.size(), size - kTailBytes, "ContainerFormat::detect"));
    }
    return detect(head.data(), headSize, tail.data(), tail.size());
}

const char* ContainerFormat::name(Kind kind) {
    switch (kind) {
        case Kind::Ewf: return "E01";
        case Kind::Vhd: return "VHD";
        case Kind::Vhdx: return "VHDX";
        case Kind::Vmdk: return "VMDK";
        case Kind::Qcow: return "QCOW2";
        case Kind::None: break;
    }
    return "";
}

bool ContainerFormat::supported() {
#if defined(RESURGO_HAVE_CONTAINERS)
    return true;
#else
    return false;
#endif
}

} // namespace resurgo
