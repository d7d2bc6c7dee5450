#pragma once
// What a carved file's own content says about it, shown apart from its
// name and never made its name: the time a camera took a photo (EXIF
// DateTimeOriginal) and a document's title (a PDF's /Title, an Office
// document's dc:title). Both are untrusted text from the disk.

#include <string>

namespace resurgo {

struct CARVE_HINT {
    // "YYYY-MM-DDTHH:MM:SS", the camera's own clock (no time zone), or "".
    std::string taken;
    // UTF-8, at most CarveHints::kMaxTitleBytes bytes, or "".
    std::string title;

    bool empty() const { return taken.empty() && title.empty(); }
};

} // namespace resurgo
