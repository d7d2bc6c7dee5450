// The start-up checks' facts on POSIX: no Windows version to check, and the
// rights are checked when a device is opened.

#include "platform/SystemEnvironment.h"

namespace resurgo {

SystemEnvironment::SystemEnvironment() = default;
SystemEnvironment::~SystemEnvironment() = default;

bool SystemEnvironment::readVersion(RunEnvironment::VERSION_RECORD&) { return false; }

bool SystemEnvironment::isLocalAdmin() { return true; }

} // namespace resurgo
