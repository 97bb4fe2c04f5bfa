// Where the guard and the request channel live; runtime_dir_posix.cpp /
// runtime_dir_win.cpp, chosen by CMake.
#pragma once

#include <string>

namespace brisvane::platform {

// The per-login runtime folder holding the guard and the request channel
// (Linux: $XDG_RUNTIME_DIR, /run/user/<login uid>, /tmp/brisvane-<euid>).
// Empty on failure. Windows: unused, returns an empty string.
std::string RuntimeDir();

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
