#pragma once
// Names carved files from what the volume still says about them: a file
// version $LogFile kept whose data began at the file's first cluster, of
// the file's size; and the directory index entries found beside them (live
// and left in index blocks' slack), when an entry's size
// and the type its extension stands for match that file, and that file
// only, and no other entry of another file matches it. Never a guess: when
// the log and the index both name a file and disagree, neither name is
// taken. Its directory is the log's, or is rebuilt from the entries naming
// its parents, as far as they are found. Every other file is named
// carved/<type>/<offset>.<type>.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ntfs/INDEX_BLOCK.h"
#include "recovery/FOUND_FILE.h"
#include "recovery/LOGGED_NAME.h"
#include "recovery/carve/Carver.h"

namespace resurgo {

class CarveNames {
public:
    static constexpr const char* kCarvedFolder = "carved";

    // Where the volume lies on the source, to find logged clusters there.
    // (Zero when value-initialized: no clusters known.)
    struct Layout {
        std::uint64_t volumeStart;
        std::uint64_t clusterBytes;
    };

    // names and slack: index entries (the same file's copies in both count
    // once); logged: the log's file versions.
    explicit CarveNames(const std::vector<INDEX_NAME>& names, const std::vector<INDEX_NAME>& slack = {},
                        const std::vector<LOGGED_NAME>& logged = {}, Layout layout = Layout());
    virtual ~CarveNames();

    // One result per piece, named as above; a piece that is a version the
    // search lists from the log already (see LOGGED_NAME::listed) is left
    // out: that row restores the file by its runs, also where it is
    // fragmented, where the carve has only its first contiguous bytes.
    std::vector<FOUND_FILE> name(const std::vector<Carver::Piece>& pieces) const;
    // The name's extension stands for a file of type.
    static bool extensionFits(const std::string& name, const char* type);
    // The result for a piece no entry names.
    static FOUND_FILE unnamed(const Carver::Piece& piece);

private:
    std::vector<std::string> directoryOf(std::uint64_t parent) const;
    // The entry that alone names piece i of pieces, or null.
    std::vector<const INDEX_NAME*> indexMatches(const std::vector<Carver::Piece>& pieces) const;
    // The logged version that names piece, or null; listed is set when a
    // listed version's data is that piece.
    const LOGGED_NAME* loggedMatch(const Carver::Piece& piece, bool& listed) const;

    // One entry per file (record number): its shown name.
    std::vector<INDEX_NAME> files_;
    // Directories' entries by record number.
    std::unordered_map<std::uint64_t, const INDEX_NAME*> directories_;
    std::vector<INDEX_NAME> kept_;
    // The logged versions and the byte of the source their data starts
    // at, sorted by it.
    std::vector<std::pair<std::uint64_t, LOGGED_NAME>> logged_;
    Layout layout_{};
};

} // namespace resurgo
