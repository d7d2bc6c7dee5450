#pragma once
// The machine's fixed NTFS drives with label, size and free space, for a
// front end's drive box (the system's list, or a test's).

#include "volume/VolumeListLogical.h"

namespace resurgo {

using DriveList = VolumeListLogical;

} // namespace resurgo
