#pragma once
// An unlocked BitLocker volume read as its plain bytes: sectors below the
// encrypted size are decrypted, those above (a volume part-way through
// encryption) pass as stored, the first sectors come from where the
// system moved them, and the metadata areas read as zeros, as the system
// shows them. The copy of the first sectors is used as it stands when it
// holds a boot record in the clear (a volume encrypted as it is written).

#include <cstdint>
#include <memory>

#include "source/BitLockerCipher.h"
#include "source/BitLockerMetadata.h"
#include "source/Source.h"

namespace resurgo {

class BitLockerSource : public Source {
public:
    // parent holds the encrypted volume and must outlive this source.
    BitLockerSource(Source& parent, const BitLockerMetadata& metadata, std::unique_ptr<BitLockerCipher> cipher);
    ~BitLockerSource() override;

    std::size_t readAt(void* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic) override;
    std::uint64_t size() const override { return parent_.size(); }
    std::uint32_t sectorSize() const override { return parent_.sectorSize(); }
    SourceIdentity identity() const override { return parent_.identity(); }
    std::uint64_t storedFrom(std::uint64_t offset) override { return parent_.storedFrom(offset); }

    const BitLockerMetadata& metadata() const { return metadata_; }

private:
    // Reads the aligned range [offset, offset + length) into buffer.
    std::size_t readSectors(std::uint8_t* buffer, std::size_t length, std::uint64_t offset, const char* diagnostic);

    Source& parent_;
    BitLockerMetadata metadata_;
    std::unique_ptr<BitLockerCipher> cipher_;
    std::uint32_t unit_;
    bool plainHeader_ = false;  // the boot sectors' copy is stored unencrypted
};

} // namespace resurgo
