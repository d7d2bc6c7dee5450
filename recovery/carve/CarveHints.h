#pragma once
// Reads the hints a carved file's content gives (see CARVE_HINT), where
// they are cheap to reach: the EXIF DateTimeOriginal of a JPEG or TIFF, the
// /Title of a PDF's document information dictionary (when it is a plain
// object, not inside a compressed object stream), the dc:title of an Office
// document's docProps/core.xml (stored, or deflated when built with zlib).
// Everything is read through the candidate's CarveInput, so nothing outside
// the file is looked at; what does not parse gives no hint.
#include <cstddef>
#include <cstdint>

#include "recovery/CARVE_HINT.h"

namespace resurgo {

class CarveInput;

class CarveHints {
public:
    static constexpr std::size_t kMaxTitleBytes = 256;
    // A PDF's trailer and Office document's central directory are looked
    // for in this many bytes at the file's end.
    static constexpr std::uint64_t kTailBytes = 64 * 1024;

    // The hints of the file of type, size bytes, at the start of in.
    static CARVE_HINT find(CarveInput& in, const char* type, std::uint64_t size);

private:
    static std::string exifTaken(CarveInput& in, std::uint64_t tiff, std::uint64_t size);
    static std::string pdfTitle(CarveInput& in, std::uint64_t size);
    static std::string officeTitle(CarveInput& in, std::uint64_t size);
};

} // namespace resurgo
