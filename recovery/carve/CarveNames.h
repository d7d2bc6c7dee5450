#pragma once
// Names carved files from the directory index entries found beside them.
// An entry names a file when its size and the type its extension stands
// for match that file, and that file only, and no other entry of another
// file matches it: never a guess. Its directory is rebuilt from the entries
// naming its parents, as far as they are found. Every other file is named
// carved/<type>/<offset>.<type>.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "ntfs/INDEX_BLOCK.h"
#include "recovery/FOUND_FILE.h"
#include "recovery/carve/Carver.h"

namespace resurgo {

class CarveNames {
public:
    static constexpr const char* kCarvedFolder = "carved";

    explicit CarveNames(const std::vector<INDEX_NAME>& names);
    virtual ~CarveNames();

    // One result per piece, named as above.
    std::vector<FOUND_FILE> name(const std::vector<Carver::Piece>& pieces) const;
    // The name's extension stands for a file of type.
    static bool extensionFits(const std::string& name, const char* type);
    // The result for a piece no entry names.
    static FOUND_FILE unnamed(const Carver::Piece& piece);

private:
    std::vector<std::string> directoryOf(std::uint64_t parent) const;

    // One entry per file (record number): its shown name.
    std::vector<INDEX_NAME> files_;
    // Directories' entries by record number.
    std::unordered_map<std::uint64_t, const INDEX_NAME*> directories_;
    std::vector<INDEX_NAME> kept_;
};

} // namespace resurgo
