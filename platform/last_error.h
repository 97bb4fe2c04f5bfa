// The system's error code after a failed platform call; last_error_posix.cpp
// / last_error_win.cpp, chosen by CMake.
#pragma once

#include <string>

namespace brisvane::platform {

// The calling thread's last system error (GetLastError, or errno).
unsigned long LastErrorCode();

// The system's one-line text for `code`, with the code itself:
// "No such file or directory (errno 2)", "Access is denied (error 5)".
std::string ErrorText(unsigned long code);

// The same text without the code: "No such file or directory". For messages
// whose wording is fixed without it.
std::string ErrorWords(unsigned long code);

// True when `code` says that a file, or a folder on its path, does not exist.
bool IsNotFoundError(unsigned long code);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
