#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>

#include "last_error.h"

namespace brisvane::platform {

unsigned long LastErrorCode() { return GetLastError(); }

}  // namespace brisvane::platform
