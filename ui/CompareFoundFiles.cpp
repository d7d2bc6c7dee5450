#include "ui/CompareFoundFiles.h"

namespace resurgo {

bool CompareFoundFiles::less(const FOUND_FILE& a, const FOUND_FILE& b, int column) {
    // std::string compares through char_traits<char>, which orders the
    // bytes as unsigned characters and puts a prefix first.
    switch (column) {
    case 0: return a.name < b.name;
    case 1: return a.size < b.size;
    case 2: return a.directory < b.directory;
    case 3: return a.lastModificationTime.utc() < b.lastModificationTime.utc();
    case 4: return a.creationTime.utc() < b.creationTime.utc();
    case 5: return a.lastAccessTime.utc() < b.lastAccessTime.utc();
    case 6: return a.recoverable < b.recoverable;
    default: return false;
    }
}

std::uint64_t CompareFoundFiles::numericKey(const FOUND_FILE& f, int column) {
    switch (column) {
    case 1: return f.size;
    case 3: return f.lastModificationTime.utc();
    case 4: return f.creationTime.utc();
    case 5: return f.lastAccessTime.utc();
    case 6: return f.recoverable;
    default: return 0;
    }
}

int CompareFoundFiles::compare(const std::vector<FOUND_FILE>& results, std::size_t a, std::size_t b, int column) {
    if (column < 0 || column >= kColumns) return 0;
    return less(results.at(a), results.at(b), column) ? 0 : 1;
}

} // namespace resurgo
