#pragma once
// A source that can't be read as what it claims to be, in the user's
// words: a container with a missing segment or parent, a damaged header, a
// partition table whose entries overlap. The message names the problem;
// the code is the engine's nearest one (open, partition format, not
// supported) and the system's error is kept when there was one.

#include <cstdint>
#include <string>

#include "core/ErrorException.h"

namespace resurgo {

class SourceError : public ErrorException {
public:
    SourceError(std::int32_t code, std::string message, std::uint32_t systemError = 0)
        : ErrorException(code, systemError, "SourceError <" + message + ">"), message_(std::move(message)) {}

    const std::string& message() const { return message_; }

private:
    std::string message_;
};

} // namespace resurgo
