#include "core/ErrorException.h"

#include <iterator>
#include <utility>

namespace resurgo {

namespace {

struct ErrorEntry {
    std::int32_t code;
    const char* text;
};

// Stored in this order: 1..24, then 26, 25, 27.
const ErrorEntry kErrorTable[] = {
    {1, "Error open disk"},
    {2, "Error close disk"},
    {3, "Error read disk"},
    {4, "Error get disk geometry"},
    {5, "Not enough memory"},
    {6, "Error free memory block"},
    {7, "Partition signature failed"},
    {8, "Partition bad format"},
    {9, "Bootsector signature failed"},
    {10, "Invalid NTFS bootsector"},
    {11, "Bootsector bad format"},
    {12, "MFT: bad format"},
    {13, "MFT record: bad format"},
    {14, "MFT record: bad record size"},
    {15, "Runlist unknown field type"},
    {16, "Zero cluster size in non-compressed run"},
    {17, "End of file"},
    {18, "Standard information attribut not found"},
    {19, "Filename attribut not found"},
    {20, "Extended MFT record found"},
    {21, "File time convert error"},
    {22, "Can't create directory"},
    {23, "Can't open output file"},
    {24, "File write error"},
    {26, "Get file size error"},
    {25, "Not supported in this version"},
    {27, "Unrecognized error"},
};

} // namespace

ErrorException::ErrorException(std::int32_t code, std::string diagnostic)
    : systemError_(0), diagnostic_(std::move(diagnostic)), code_(code) {}

ErrorException::ErrorException(std::int32_t code, std::uint32_t systemError, std::string diagnostic)
    : systemError_(systemError), diagnostic_(std::move(diagnostic)), code_(code) {}

ErrorException::~ErrorException() = default;

ErrorException& ErrorException::setRecordNumber(std::uint64_t recordNumber) {
    recordNumber_ = recordNumber;
    return *this;
}

ErrorException& ErrorException::setByteOffset(std::uint64_t byteOffset) {
    byteOffset_ = byteOffset;
    return *this;
}

std::string ErrorException::location() const {
    std::string out;
    if (recordNumber_) out = "record " + std::to_string(*recordNumber_);
    if (byteOffset_) {
        if (!out.empty()) out += ", ";
        out += "byte " + std::to_string(*byteOffset_);
    }
    return out;
}

const char* ErrorException::describe(std::int32_t code) {
    for (const auto& e : kErrorTable) {
        if (e.code == code) return e.text;
    }
    return "";
}

int ErrorException::tableSize() { return static_cast<int>(std::size(kErrorTable)); }

} // namespace resurgo
