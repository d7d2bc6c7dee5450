#include "platform/LogicalDrives.h"

namespace resurgo {

LogicalDrives::~LogicalDrives() = default;

} // namespace resurgo
