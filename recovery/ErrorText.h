#pragma once
// Words for a failure, for the front ends: a source's own message
// (SourceError), else the system's text for its error value, else the
// error code's own description, else its diagnostic.

#include <string>

#include "core/ErrorException.h"

namespace resurgo {

class ErrorText {
public:
    static std::string reason(const ErrorException& e);
};

} // namespace resurgo
