#include "source/BitLockerMetadata.h"

#include <cstdio>
#include <cstring>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "core/TextUtf.h"
#include "source/Source.h"
#include "source/SourceError.h"

namespace resurgo {

namespace {

// The volume's first sector.
constexpr std::size_t kSignatureOffset = 3;
constexpr char kSignature[] = "-FVE-FS-";
constexpr char kToGoSignature[] = "MSWIN4.1";
constexpr std::size_t kBytesPerSectorOffset = 0x0B;
constexpr std::size_t kMetadataOffsets = 0xB0;      // three u64 after the volume GUID at 0xA0
constexpr std::size_t kToGoGuidOffset = 0x1A8;
constexpr std::size_t kToGoMetadataOffsets = 0x1B8;
// The GUID that marks a To Go volume's discovery sector.
constexpr std::uint8_t kToGoGuid[16] = {0x3b, 0xd6, 0x67, 0x49, 0x29, 0x2e, 0xd8, 0x4a,
                                        0x83, 0x99, 0xf6, 0xa3, 0x39, 0xe3, 0xd0, 0x01};
constexpr std::size_t kSectorBytes = 512;

// The metadata block header.
constexpr std::size_t kBlockVersion = 10;
constexpr std::size_t kBlockVolumeSize = 16;
constexpr std::size_t kBlockHeaderSectors = 28;
constexpr std::size_t kBlockHeaderOffset = 56;
constexpr std::size_t kBlockHeaderBytes = 64;
// The metadata header after it.
constexpr std::size_t kMetaSize = 0;
constexpr std::size_t kMetaVersion = 4;
constexpr std::size_t kMetaHeaderSize = 8;
constexpr std::size_t kMetaGuid = 16;
constexpr std::size_t kMetaMethod = 36;
constexpr std::size_t kMetaHeaderBytes = 48;

// An entry.
constexpr std::size_t kEntrySize = 0;
constexpr std::size_t kEntryType = 2;
constexpr std::size_t kEntryValueType = 4;
constexpr std::size_t kEntryHeaderBytes = 8;

enum EntryType : std::uint16_t { kTypeProperty = 0x0000, kTypeVmk = 0x0002, kTypeFvek = 0x0003,
                                 kTypeStartupKey = 0x0006, kTypeDescription = 0x0007,
                                 kTypeVolumeHeader = 0x000f };
enum ValueType : std::uint16_t { kValueKey = 0x0001, kValueString = 0x0002, kValueStretchKey = 0x0003,
                                 kValueSealedKey = 0x0005, kValueVmk = 0x0008, kValueExternalKey = 0x0009,
                                 kValueOffsetSize = 0x000f };

// Metadata blocks are a few kilobytes; the system reserves 64 KiB for each.
constexpr std::size_t kMaxBlockBytes = std::size_t{64} * 1024;
// The boot sectors' copy is 8 KiB (16 sectors) on a volume, 5 MiB on a To Go
// volume; limits and offsets are kept far from
// the 64-bit limit so that offset + length never wraps.
constexpr std::uint64_t kMaxHeaderBytes = std::uint64_t(1) << 30;
constexpr std::uint64_t kMaxOffset = std::uint64_t(1) << 62;
// Entries nest two deep at most (a VMK's stretched key holds a sealed key).
constexpr int kMaxDepth = 3;

[[noreturn]] void bad(const char* where, const std::string& reason) {
    throw ErrorException(kErrUnrecognized, std::string(where) + " <" + reason + ">");
}

struct Entry {
    std::uint16_t type;
    std::uint16_t valueType;
    ByteReader data;
};

// Calls each(entry) for the entries packed in [0, r.size()).
template <typename Each>
void forEachEntry(const ByteReader& r, const char* where, Each each) {
    std::size_t at = 0;
    while (r.size() - at >= kEntryHeaderBytes) {
        const std::uint16_t size = r.u16(at + kEntrySize);
        if (size == 0) break;  // padding after the last entry
        if (size < kEntryHeaderBytes || size > r.size() - at) {
            bad(where, "an entry of " + std::to_string(size) + " bytes at byte " + std::to_string(at) +
                           " overruns its metadata (" + std::to_string(r.size()) + " bytes)");
        }
        each(Entry{r.u16(at + kEntryType), r.u16(at + kEntryValueType),
                   r.sub(at + kEntryHeaderBytes, size - kEntryHeaderBytes)});
        at += size;
    }
}

std::array<std::uint8_t, 16> guidAt(const ByteReader& r, std::size_t at) {
    r.require(at, 16);
    std::array<std::uint8_t, 16> g{};
    std::memcpy(g.data(), r.data() + at, 16);
    return g;
}

BitLockerMetadata::SealedKey sealedKey(const ByteReader& d) {
    BitLockerMetadata::SealedKey k;
    d.require(0, 12 + 16 + 1);
    std::memcpy(k.nonce.data(), d.data(), 12);
    k.sealed.assign(d.data() + 12, d.data() + d.size());
    return k;
}

std::vector<std::uint8_t> keyBytes(const ByteReader& d) {
    d.require(0, 5);
    return std::vector<std::uint8_t>(d.data() + 4, d.data() + d.size());
}

// The nested entries of a VMK entry.
void readProtector(BitLockerMetadata::Protector& p, const ByteReader& d, int depth, const char* where) {
    if (depth > kMaxDepth) bad(where, "key entries nested too deep");
    forEachEntry(d, where, [&](const Entry& e) {
        switch (e.valueType) {
        case kValueKey: p.clearKey = keyBytes(e.data); break;
        case kValueSealedKey: p.vmk = sealedKey(e.data); break;
        case kValueStretchKey:
            e.data.require(0, 4 + 16);
            p.salt.assign(e.data.data() + 4, e.data.data() + 20);
            break;
        default: break;
        }
    });
}

std::string utf16Text(const ByteReader& d) {
    std::size_t units = 0;
    while (units * 2 + 1 < d.size() && d.u16(units * 2) != 0) ++units;
    return TextUtf::fromUtf16Le(d.data(), units);
}

std::string withArticle(const std::string& name) {
    return (std::string("aeiou").find(name[0]) != std::string::npos ? "an " : "a ") + name;
}

} // namespace

bool BitLockerMetadata::detect(const std::uint8_t* sector, std::size_t size) {
    if (size < kToGoGuidOffset + 16) return size >= kSignatureOffset + 8 &&
                                             std::memcmp(sector + kSignatureOffset, kSignature, 8) == 0;
    if (std::memcmp(sector + kSignatureOffset, kSignature, 8) == 0) return true;
    return std::memcmp(sector + kSignatureOffset, kToGoSignature, 8) == 0 &&
           std::memcmp(sector + kToGoGuidOffset, kToGoGuid, 16) == 0;
}

void BitLockerMetadata::parseBlock(const std::uint8_t* data, std::size_t size) {
    static const char* const where = "BitLockerMetadata::parseBlock";
    const ByteReader r(data, size, kErrUnrecognized, where);
    if (size < kBlockHeaderBytes + kMetaHeaderBytes || std::memcmp(data, kSignature, 8) != 0) {
        bad(where, "no metadata block signature");
    }
    const std::uint16_t version = r.u16(kBlockVersion);
    if (version != 2) bad(where, "metadata version " + std::to_string(version) + " (only version 2 is read)");
    volumeSize = r.u64(kBlockVolumeSize);
    headerSize = static_cast<std::uint64_t>(r.u32(kBlockHeaderSectors)) * sectorSize;
    headerOffset = r.u64(kBlockHeaderOffset);
    const ByteReader meta = r.sub(kBlockHeaderBytes, size - kBlockHeaderBytes);
    const std::uint32_t metaSize = meta.u32(kMetaSize);
    if (meta.u32(kMetaVersion) != 1 || meta.u32(kMetaHeaderSize) != kMetaHeaderBytes ||
        metaSize < kMetaHeaderBytes || metaSize > meta.size()) {
        bad(where, "a metadata header of " + std::to_string(metaSize) + " bytes in a block of " +
                       std::to_string(size));
    }
    volumeGuid = guidAt(meta, kMetaGuid);
    method = meta.u16(kMetaMethod);
    protectors.clear();
    fvek = SealedKey();
    forEachEntry(meta.sub(kMetaHeaderBytes, metaSize - kMetaHeaderBytes), where, [&](const Entry& e) {
        if (e.type == kTypeVmk && e.valueType == kValueVmk) {
            Protector p;
            p.guid = guidAt(e.data, 0);
            p.protection = e.data.u16(26);
            readProtector(p, e.data.sub(28, e.data.size() - 28), 1, where);
            protectors.push_back(std::move(p));
        } else if (e.type == kTypeFvek && e.valueType == kValueSealedKey) {
            fvek = sealedKey(e.data);
        } else if (e.type == kTypeDescription && e.valueType == kValueString) {
            description = utf16Text(e.data);
        } else if (e.type == kTypeVolumeHeader && e.valueType == kValueOffsetSize) {
            headerOffset = e.data.u64(0);
            headerSize = e.data.u64(8);
        }
    });
    if (headerSize > kMaxHeaderBytes || headerOffset > kMaxOffset) {
        bad(where, "the boot sectors' copy (" + std::to_string(headerSize) + " bytes at byte " +
                       std::to_string(headerOffset) + ") is out of range");
    }
    if (!fvek.present()) bad(where, "no full-volume key entry");
    if (protectors.empty()) bad(where, "no key protector entry");
}

BitLockerMetadata BitLockerMetadata::read(Source& volume) {
    std::uint8_t sector[kSectorBytes] = {};
    if (volume.readAt(sector, sizeof sector, 0, "BitLockerMetadata::read") != sizeof sector ||
        !detect(sector, sizeof sector)) {
        throw SourceError(kErrUnrecognized, "no BitLocker signature in the first sector");
    }
    BitLockerMetadata m;
    const ByteReader r(sector, sizeof sector, kErrUnrecognized, "BitLockerMetadata::read");
    m.toGo = std::memcmp(sector + kSignatureOffset, kToGoSignature, 8) == 0;
    const std::uint16_t bytesPerSector = r.u16(kBytesPerSectorOffset);
    if (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 || bytesPerSector == 4096) {
        m.sectorSize = bytesPerSector;
    }
    const std::size_t at = m.toGo ? kToGoMetadataOffsets : kMetadataOffsets;
    for (std::size_t i = 0; i < 3; ++i) {
        m.metadataOffsets[i] = r.u64(at + 8 * i);
        if (m.metadataOffsets[i] > kMaxOffset) {
            throw SourceError(kErrUnrecognized, "BitLocker metadata offset " + std::to_string(m.metadataOffsets[i]) +
                                                    " is out of range");
        }
    }
    std::vector<std::uint8_t> block(kMaxBlockBytes);
    std::string why = "no metadata block can be read";
    for (std::uint64_t offset : m.metadataOffsets) {
        try {
            const std::size_t got = volume.readAt(block.data(), block.size(), offset, "BitLockerMetadata::read");
            m.parseBlock(block.data(), got);
            return m;
        } catch (const ErrorException& e) {
            why = e.diagnostic();
        }
    }
    throw SourceError(kErrUnrecognized, "BitLocker metadata is damaged in all three copies (" + why + ")");
}

BitLockerMetadata::StartupKey BitLockerMetadata::parseStartupKey(const std::uint8_t* data, std::size_t size) {
    static const char* const where = "BitLockerMetadata::parseStartupKey";
    const ByteReader r(data, size, kErrUnrecognized, where);
    if (size < kMetaHeaderBytes || r.u32(kMetaVersion) != 1 || r.u32(kMetaHeaderSize) != kMetaHeaderBytes ||
        r.u32(kMetaSize) < kMetaHeaderBytes || r.u32(kMetaSize) > size) {
        bad(where, "not a BitLocker startup key file");
    }
    StartupKey key;
    forEachEntry(r.sub(kMetaHeaderBytes, r.u32(kMetaSize) - kMetaHeaderBytes), where, [&](const Entry& e) {
        if (e.type != kTypeStartupKey || e.valueType != kValueExternalKey) return;
        key.guid = guidAt(e.data, 0);
        forEachEntry(e.data.sub(24, e.data.size() - 24), where, [&](const Entry& inner) {
            if (inner.valueType == kValueKey) key.key = keyBytes(inner.data);
        });
    });
    if (key.key.size() != 32) bad(where, "the file holds no startup key");
    return key;
}

std::string BitLockerMetadata::protectionName(std::uint16_t protection) {
    switch (protection) {
    case kClearKey: return "clear key";
    case kTpm: return "TPM";
    case kStartupKey: return "startup key";
    case kTpmAndPin: return "TPM and PIN";
    case kRecoveryPassword: return "recovery password";
    case kSmartCard: return "smart card";
    case kPassword: return "password";
    default: {
        char text[16];
        (void)std::snprintf(text, sizeof text, "0x%04x", protection);
        return std::string("protector ") + text;
    }
    }
}

std::string BitLockerMetadata::methodName(std::uint16_t m) {
    switch (m) {
    case kAesCbc128Diffuser: return "AES-CBC 128 with diffuser";
    case kAesCbc256Diffuser: return "AES-CBC 256 with diffuser";
    case kAesCbc128: return "AES-CBC 128";
    case kAesCbc256: return "AES-CBC 256";
    case kAesXts128: return "AES-XTS 128";
    case kAesXts256: return "AES-XTS 256";
    default: {
        char text[16];
        (void)std::snprintf(text, sizeof text, "0x%04x", m);
        return std::string("unknown cipher ") + text;
    }
    }
}

std::string BitLockerMetadata::protectorList() const {
    std::vector<std::string> names;
    for (const Protector& p : protectors) {
        const std::string n = protectionName(p.protection);
        bool seen = false;
        for (const std::string& s : names) seen = seen || s == n;
        if (!seen) names.push_back(n);
    }
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + withArticle(names[i]);
    }
    return text;
}

std::string BitLockerMetadata::guidText(const std::array<std::uint8_t, 16>& g) {
    char text[40];
    (void)std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", g[3], g[2],
                  g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return text;
}

} // namespace resurgo
