#pragma once
// The one exception type of the engine: an error code from the table below,
// the platform's last-error value (0 for format and consistency failures)
// and a diagnostic "Class::method <reason>".

#include <cstdint>
#include <optional>
#include <string>

namespace resurgo {

enum ErrorCode : std::int32_t {
    kErrOpenDisk = 1,
    kErrCloseDisk = 2,
    kErrReadDisk = 3,
    kErrDiskGeometry = 4,
    kErrNoMemory = 5,
    kErrFreeMemory = 6,
    kErrPartitionSignature = 7,
    kErrPartitionFormat = 8,
    kErrBootSignature = 9,
    kErrNotNtfsBoot = 10,
    kErrBootFormat = 11,
    kErrMftFormat = 12,
    kErrRecordFormat = 13,
    kErrRecordSize = 14,
    kErrRunlistField = 15,
    kErrRunlistSparse = 16,
    kErrEndOfFile = 17,
    kErrNoStandardInfo = 18,
    kErrNoFileName = 19,
    kErrExtensionRecord = 20,
    kErrTimeConvert = 21,
    kErrCreateDirectory = 22,
    kErrOpenOutput = 23,
    kErrWriteOutput = 24,
    kErrNotSupported = 25,
    kErrFileSize = 26,
    kErrUnrecognized = 27,
};

class ErrorException {
public:
    ErrorException(std::int32_t code, std::string diagnostic);
    ErrorException(std::int32_t code, std::uint32_t systemError, std::string diagnostic);
    virtual ~ErrorException();

    ErrorException(const ErrorException&) = default;
    ErrorException& operator=(const ErrorException&) = default;

    std::int32_t code() const { return code_; }
    std::uint32_t systemError() const { return systemError_; }
    const std::string& diagnostic() const { return diagnostic_; }

    // Where in an MFT record a format failure was found, when the decoder
    // knows: the record's number and the byte offset from the record's
    // start. Neither changes the code or the diagnostic.
    ErrorException& setRecordNumber(std::uint64_t recordNumber);
    ErrorException& setByteOffset(std::uint64_t byteOffset);
    const std::optional<std::uint64_t>& recordNumber() const { return recordNumber_; }
    const std::optional<std::uint64_t>& byteOffset() const { return byteOffset_; }
    // "record 77, byte 424" (either part alone when only one is known), or
    // an empty text.
    std::string location() const;

    // The fixed description of an error code ("Error read disk"), or an
    // empty text for a code outside the table.
    static const char* describe(std::int32_t code);
    // Number of entries in the error table.
    static int tableSize();

private:
    std::uint32_t systemError_;
    std::string diagnostic_;
    std::int32_t code_;
    std::optional<std::uint64_t> recordNumber_;
    std::optional<std::uint64_t> byteOffset_;
};

} // namespace resurgo
