#pragma once
// Which files the volume itself holds now, record by record: whether each
// MFT record is in use, its sequence number and its name. A search of the
// volume's shadow copies asks it whether a file a copy holds is still on
// the volume (the same record in use, with the same sequence number and
// name) or gone from it (the record free, or holding another file).

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace resurgo {

class FilesystemNTFS;

class LiveRecords {
public:
    // Reads every record of fs's MFT (open), in large chunks. Records that
    // can't be read count as holding nothing. A cancel stops it early.
    static LiveRecords read(FilesystemNTFS& fs, const std::atomic<std::uint8_t>* cancel);

    // True when record is in use on the volume with that sequence number
    // and name: the file is still there.
    bool holds(std::uint64_t record, std::uint16_t sequence, const std::string& name) const;
    std::size_t size() const { return records_.size(); }

    // A 32-bit FNV-1a hash of a name's bytes.
    static std::uint32_t hashName(const std::string& name);

private:
    struct Record {
        std::uint32_t nameHash = 0;
        std::uint16_t sequence = 0;
        bool inUse = false;
    };
    std::vector<Record> records_;
};

} // namespace resurgo
