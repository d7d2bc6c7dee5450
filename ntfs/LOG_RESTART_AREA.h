#pragma once
// The restart page of $LogFile ("RSTR", two copies at the start of the
// file, each one system page long) and the restart area inside it: the page
// sizes, how an LSN maps to a byte of the file, where a log page's records
// begin and the newest LSN written when the area was last saved.

#include <cstddef>
#include <cstdint>

namespace resurgo {

class LOG_RESTART_AREA {
public:
    // Restart page header.
    static constexpr std::size_t kSignature = 0x00;
    static constexpr std::size_t kSystemPageSize = 0x10;
    static constexpr std::size_t kLogPageSize = 0x14;
    static constexpr std::size_t kRestartOffset = 0x18;
    static constexpr std::size_t kMinorVersion = 0x1A;
    static constexpr std::size_t kMajorVersion = 0x1C;
    static constexpr std::size_t kPageHeaderBytes = 0x1E;  // the update sequence array follows
    // Restart area, from its own start.
    static constexpr std::size_t kCurrentLsn = 0x00;
    static constexpr std::size_t kLogClients = 0x08;
    static constexpr std::size_t kSequenceNumberBits = 0x10;
    static constexpr std::size_t kRestartAreaLength = 0x14;
    static constexpr std::size_t kFileSize = 0x18;
    static constexpr std::size_t kRecordHeaderLength = 0x24;
    static constexpr std::size_t kPageDataOffset = 0x26;
    static constexpr std::size_t kAreaBytes = 0x28;  // the fields read here
    // Page sizes NTFS writes are 4 KiB; anything from one sector to 64 KiB
    // is taken, a power of two.
    static constexpr std::uint32_t kMinPageSize = 512;
    static constexpr std::uint32_t kMaxPageSize = 64 * 1024;
    // The LFS record header of every version is 0x30 bytes.
    static constexpr std::uint16_t kMinRecordHeader = 0x30;
    // A record page header ends at 0x28, before its update sequence array.
    static constexpr std::uint16_t kMinPageDataOffset = 0x28;

    // The system page size a restart page states, read before its fixup (0
    // when bytes hold no restart page).
    static std::uint32_t statedPageSize(const std::uint8_t* bytes, std::size_t length);

    // Fixes up and reads the restart page bytes[0, length), length being
    // its system page size. Raises kErrRecordFormat ("LOG_RESTART_AREA::parse
    // <reason>") on a wrong signature, sizes out of range or an area that
    // leaves the page.
    void parse(std::uint8_t* bytes, std::size_t length);

    // The byte of $LogFile an LSN's record starts at.
    std::uint64_t offsetOf(std::uint64_t lsn) const;

    std::uint64_t currentLsn = 0;
    std::uint32_t systemPageSize = 0;
    std::uint32_t logPageSize = 0;
    std::int16_t majorVersion = 0;
    std::int16_t minorVersion = 0;
    std::uint32_t sequenceNumberBits = 0;
    std::uint64_t fileSize = 0;
    std::uint16_t recordHeaderLength = 0;
    std::uint16_t pageDataOffset = 0;
};

} // namespace resurgo
