#pragma once
// A block of whole sectors, zero-filled and page-aligned, into which raw
// reads go. Owns its storage; never copied.

#include <cstddef>
#include <cstdint>

namespace resurgo {

class SectorBuffer {
public:
    SectorBuffer(std::uint32_t sectorCount, std::uint32_t bytesPerSector);
    virtual ~SectorBuffer();
    SectorBuffer(const SectorBuffer&) = delete;
    SectorBuffer& operator=(const SectorBuffer&) = delete;

    void fill(std::uint8_t value);

    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::uint32_t sectorCount() const { return sectorCount_; }
    std::uint32_t bytesPerSector() const { return bytesPerSector_; }

private:
    std::uint32_t bytesPerSector_;
    std::uint32_t sectorCount_;
    std::size_t size_;
    std::uint8_t* data_;
};

} // namespace resurgo
