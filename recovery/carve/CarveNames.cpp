#include "recovery/carve/CarveNames.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "core/ErrorException.h"
#include "ntfs/FILE_NAME_ENTRY.h"
#include "recovery/DeepResults.h"

namespace resurgo {

namespace {

constexpr std::uint64_t kRootRecord = 5;
constexpr std::size_t kMaxDepth = 64;

// The extensions each carved type stands for.
struct TypeExtensions {
    const char* type;
    const char* extensions;  // space separated, each followed by a space
};
const TypeExtensions kExtensions[] = {
    {"jpg", "jpg jpeg jpe jfif "}, {"png", "png "}, {"gif", "gif "}, {"bmp", "bmp dib "},
    {"tif", "tif tiff cr2 nef dng arw orf pef rw2 "}, {"pdf", "pdf "}, {"zip", "zip "}, {"docx", "docx docm "},
    {"xlsx", "xlsx xlsm "}, {"pptx", "pptx pptm "}, {"odt", "odt "}, {"ods", "ods "}, {"odp", "odp "},
    {"epub", "epub "}, {"jar", "jar "}, {"ole", "doc xls ppt msg msi "}, {"sqlite", "sqlite sqlite3 db "},
    {"7z", "7z "}, {"wav", "wav "}, {"avi", "avi "}, {"webp", "webp "}, {"ogg", "ogg oga ogv opus "},
    {"mp4", "mp4 m4v "}, {"mov", "mov qt "}, {"m4a", "m4a "}, {"3gp", "3gp "}, {"mkv", "mkv "},
    {"webm", "webm "}, {"mpg", "mpg mpeg vob "}, {"ppm", "ppm "}, {"pgm", "pgm "}, {"pbm", "pbm "},
    {"xcf", "xcf "}, {"sh", "sh bash py pl "}, {"mp3", "mp3 "}, {"flac", "flac "}, {"rar", "rar "},
    {"gz", "gz tgz "}, {"doc", "doc dot "}, {"xls", "xls xlt "}, {"ppt", "ppt pps pot "}, {"msg", "msg "},
};

bool shown(std::uint8_t nameSpace) { return nameSpace != FILE_NAME_ENTRY::kDos; }

} // namespace

CarveNames::CarveNames(const std::vector<INDEX_NAME>& names, const std::vector<INDEX_NAME>& slack,
                       const std::vector<LOGGED_NAME>& logged, Layout layout)
    : layout_(layout) {
    // One entry per record number; a directory's, and a file's entries
    // that disagree on size are kept apart (a file rewritten). A file's
    // copies (the same name and size in the same directory) count once,
    // whether live or left in slack, and whatever record they name.
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> seen;
    std::set<std::tuple<std::uint64_t, std::string, std::uint64_t, bool>> sameFile;
    const auto keep = [&](const INDEX_NAME& n) {
        const std::uint64_t record = n.child.recordNumber();
        const auto key = std::make_pair(record, n.isDirectory ? 0 : n.dataSize);
        const auto it = seen.find(key);
        if (it == seen.end()) {
            if (!sameFile.emplace(n.parent.recordNumber(), n.name, n.dataSize, n.isDirectory).second) return;
            seen.emplace(key, kept_.size());
            kept_.push_back(n);
        } else if (!shown(kept_[it->second].nameSpace) && shown(n.nameSpace)) {
            kept_[it->second] = n;
        }
    };
    for (const INDEX_NAME& n : names) keep(n);
    for (const INDEX_NAME& n : slack) keep(n);
    for (const INDEX_NAME& n : kept_) {
        if (n.isDirectory) {
            directories_.emplace(n.child.recordNumber(), &n);
        } else if (n.dataSize != 0) {
            files_.push_back(n);
        }
    }
    if (layout_.clusterBytes == 0) return;
    for (const LOGGED_NAME& l : logged) {
        if (l.firstLcn > (UINT64_MAX - layout_.volumeStart) / layout_.clusterBytes) continue;
        logged_.emplace_back(layout_.volumeStart + l.firstLcn * layout_.clusterBytes, l);
    }
    std::sort(logged_.begin(), logged_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
}

CarveNames::~CarveNames() = default;

bool CarveNames::extensionFits(const std::string& name, const char* type) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 >= name.size()) return false;
    std::string ext = name.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ext += ' ';
    for (const TypeExtensions& t : kExtensions) {
        if (std::strcmp(t.type, type) != 0) continue;
        const std::string list = std::string(" ") + t.extensions;
        return list.find(" " + ext) != std::string::npos;
    }
    return false;
}

FOUND_FILE CarveNames::unnamed(const Carver::Piece& piece) {
    FOUND_FILE f(FOUND_FILE::kNoRecord, piece.offset / 512, std::to_string(piece.offset) + "." + piece.type);
    f.setDirectory({kCarvedFolder, piece.type});
    f.offset = piece.offset;
    f.size = piece.size;
    f.source = ResultSource::Carved;
    f.carvedType = piece.type;
    f.carvedCompressed = piece.compressed;
    if (!piece.hint.empty()) f.hint = std::make_shared<const CARVE_HINT>(piece.hint);
    return f;
}

std::vector<std::string> CarveNames::directoryOf(std::uint64_t parent) const {
    std::vector<std::string> names;
    for (std::size_t depth = 0; parent != kRootRecord; ++depth) {
        const auto it = directories_.find(parent);
        if (it == directories_.end() || depth >= kMaxDepth) {
            // Where the chain breaks, the directory is named by its record.
            names.push_back("dir_@" + std::to_string(parent));
            names.push_back(DeepResults::kLostFiles);
            break;
        }
        names.push_back(it->second->name);
        parent = it->second->parent.recordNumber();
    }
    std::reverse(names.begin(), names.end());
    return names;
}

const LOGGED_NAME* CarveNames::loggedMatch(const Carver::Piece& piece, bool& listed) const {
    listed = false;
    const auto first = std::lower_bound(logged_.begin(), logged_.end(), piece.offset,
                                        [](const auto& l, std::uint64_t at) { return l.first < at; });
    const LOGGED_NAME* match = nullptr;
    bool ambiguous = false;
    for (auto it = first; it != logged_.end() && it->first == piece.offset; ++it) {
        const LOGGED_NAME& l = it->second;
        // The size the structure gives must be the logged one: a file whose
        // bytes run on past the structure's end would be restored short (a
        // restore by offset measures the structure again).
        if (piece.size != l.size) continue;
        listed = listed || l.listed;
        // Versions of one file (the same name in the same directory) agree;
        // two files logged at the same cluster leave it unnamed.
        if (match != nullptr && (match->name != l.name || match->parent != l.parent)) ambiguous = true;
        match = &l;
    }
    return ambiguous ? nullptr : match;
}

std::vector<const INDEX_NAME*> CarveNames::indexMatches(const std::vector<Carver::Piece>& pieces) const {
    // For each piece the one entry that fits it; for each entry how many
    // pieces it fits.
    std::vector<const INDEX_NAME*> match(pieces.size(), nullptr);
    std::map<const INDEX_NAME*, std::size_t> uses;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        std::size_t fits = 0;
        for (const INDEX_NAME& n : files_) {
            if (n.dataSize != pieces[i].size || !extensionFits(n.name, pieces[i].type)) continue;
            ++fits;
            match[i] = &n;
        }
        if (fits != 1) match[i] = nullptr;
        if (match[i] != nullptr) ++uses[match[i]];
    }
    for (const INDEX_NAME*& n : match) {
        if (n != nullptr && uses[n] != 1) n = nullptr;
    }
    return match;
}

std::vector<FOUND_FILE> CarveNames::name(const std::vector<Carver::Piece>& pieces) const {
    const std::vector<const INDEX_NAME*> byIndex = indexMatches(pieces);
    std::vector<FOUND_FILE> out;
    out.reserve(pieces.size());
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        bool listed = false;
        const LOGGED_NAME* l = loggedMatch(pieces[i], listed);
        if (listed) continue;
        FOUND_FILE f = unnamed(pieces[i]);
        const INDEX_NAME* n = byIndex[i];
        // A wrong name is worse than none: when the log and the index name
        // the file differently, neither is taken and it stays unnamed.
        if (l != nullptr && n != nullptr && (l->name != n->name || l->parent != n->parent.recordNumber())) {
            l = nullptr;
            n = nullptr;
        }
        if (l != nullptr) {
            f.name = l->name;
            f.setDirectory(l->directory);
            f.nameSource = FOUND_FILE::NameSource::Logfile;
            f.creationTime = l->created;
            f.lastModificationTime = l->modified;
            f.lastAccessTime = l->accessed;
        } else if (n != nullptr) {
            f.name = n->name;
            f.setDirectory(directoryOf(n->parent.recordNumber()));
            f.nameSource = FOUND_FILE::NameSource::Index;
            try {
                f.creationTime.set(n->created);
                f.lastModificationTime.set(n->modified);
                f.lastAccessTime.set(n->accessed);
            } catch (const ErrorException&) {
                // Times the platform can't show stay unknown.
            }
        }
        out.push_back(std::move(f));
    }
    return out;
}

} // namespace resurgo
