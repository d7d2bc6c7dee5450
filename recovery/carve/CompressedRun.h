#pragma once
// LZNT1-compressed units in free clusters: what the data of a compressed
// file looks like once its record is gone. NTFS compresses a file in units
// of 16 clusters (clusters of at most 4 KiB); a unit that shrinks by a
// cluster or more is stored as LZNT1 chunks, each with a 2-byte header
// (bit 15: compressed; bits 12-14: the signature 3; bits 0-11: the chunk's
// bytes after the header, less 1) and at most 4096 bytes of output, the
// unit's clusters padded with zeros after its last chunk (or a zero
// header); the next unit's clusters follow when the file was written in one
// piece.
//
// A run is decoded from its first byte, chunk after chunk, while they hold
// together: a chunk that gives less than 4096 bytes is the file's last;
// where a unit's chunks stop, the next unit is looked for past the zero
// padding, at the next 512-byte boundary that is not zero, within the 4 KiB
// a cluster may take. No cluster size is needed, so the search and a later
// restore of the same offset decode the same bytes. Nothing is guessed
// across what does not decode: the run ends there.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace resurgo {

class Source;

class CompressedRun {
public:
    // A unit: at most 16 clusters of 4 KiB in and out.
    static constexpr std::size_t kMaxUnitBytes = 64 * 1024;
    // A run decodes to at most this many bytes.
    static constexpr std::uint64_t kMaxRunBytes = 64ULL << 20;
    static constexpr std::size_t kChunkBytes = 4096;
    static constexpr std::size_t kPaddingStep = 512;

    // The bytes at head (bytes long) begin a chunk as a unit's first:
    // its header, and a first token that is a literal.
    static bool begins(const std::uint8_t* head, std::size_t bytes);
    // Decodes the first chunk at head into out (kChunkBytes): the bytes
    // produced, 0 when it does not decode.
    static std::size_t firstChunk(const std::uint8_t* head, std::size_t bytes, std::uint8_t* out);

    // Decodes the run at byte offset of source, reading at most limit
    // bytes. The decoded bytes are decoded(); stored(n) tells how many
    // bytes of the source hold the first n decoded bytes (up to the end of
    // the chunk that gives the last of them).
    void decode(Source& source, std::uint64_t offset, std::uint64_t limit);
    const std::vector<std::uint8_t>& decoded() const { return out_; }
    std::uint64_t stored(std::uint64_t decodedBytes) const;
    // True when a chunk of the last run decoded starts at byte rel of it;
    // outStart gets where its bytes start in decoded(). A run decoded from
    // there gives the same bytes.
    bool startsChunk(std::uint64_t rel, std::uint64_t& outStart) const;

private:
    // Output offset and source end (relative to the run's start) of each chunk.
    struct Chunk {
        std::uint64_t outStart = 0;
        std::uint64_t outEnd = 0;
        std::uint64_t inStart = 0;
        std::uint64_t inEnd = 0;
    };
    std::vector<std::uint8_t> out_;
    std::vector<Chunk> chunks_;
    // The source's bytes being decoded.
    std::vector<std::uint8_t> window_;

    // The run being decoded: [pos, pos + need) of it from the window (read
    // again when it lies outside), or null past the limit or unreadable.
    const std::uint8_t* fetch(std::uint64_t pos, std::size_t need);
    // After a unit's last chunk at pos: where the next unit begins, past
    // zero padding (unitFull: the unit holds its whole 64 KiB).
    bool nextUnit(std::uint64_t pos, bool unitFull, std::uint64_t& next);
    Source* source_ = nullptr;
    std::uint64_t offset_ = 0;
    std::uint64_t limit_ = 0;
    std::uint64_t windowPos_ = 0;
    std::size_t windowBytes_ = 0;
};

} // namespace resurgo
