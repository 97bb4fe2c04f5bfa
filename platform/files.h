// File system queries both systems answer alike; files_posix.cpp /
// files_win.cpp, chosen by CMake. Paths are UTF-8.
#pragma once

#include <string>

namespace brisvane::platform {

// True when `utf8Path` names an existing folder (a link to one counts).
bool IsDirectory(const std::string& utf8Path);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
