#pragma once
// What the front ends use from below the engine, in one place: the
// escaping of untrusted text for terminals and UTF-8/UTF-16 text, the error
// type, and the process's own services (its terminals and Ctrl-C, start-up
// checks, internal-error reports, the machine's block devices, the file
// probe of the restore rules). cli/ and ui/ include this, never core/ or
// platform/ headers (the build checks it). A system call a front end needs
// anew (say, reading a secret from the terminal without echo) is declared
// in platform/ and listed here.

#include "core/ErrorException.h"
#include "core/RunEnvironment.h"
#include "core/SecretBytes.h"
#include "core/TextUtf.h"
#include "core/VisibleText.h"
#include "platform/BlockDevice.h"
#include "platform/DeviceSource.h"
#include "platform/FileProbe.h"
#include "platform/InternalError.h"
#include "platform/SecretInput.h"
#include "platform/SystemEnvironment.h"

#if !defined(_WIN32)
#include "platform/CancelSignal.h"
#include "platform/ProcessContext.h"
#include "platform/SystemDeviceSource.h"
#endif
