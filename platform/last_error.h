// The system's error code after a failed platform call; last_error_posix.cpp
// / last_error_win.cpp, chosen by CMake.
#pragma once

namespace brisvane::platform {

// The calling thread's last system error (GetLastError, or errno).
unsigned long LastErrorCode();

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
