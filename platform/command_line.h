// The program's own arguments as UTF-8, whatever the system hands main():
// command_line_posix.cpp / command_line_win.cpp, chosen by CMake.
#pragma once

#include <string>
#include <vector>

namespace brisvane::platform {

// The arguments the process was started with, the program's name first, each
// as UTF-8. Linux: `argv` as it is. Windows: the wide command line split by
// CommandLineToArgvW, since the `argv` Qt's entry point builds is in the
// local code page and loses what that cannot show. False, with `*out`
// empty, when an argument cannot be converted.
bool CommandLineArguments(int argc, char** argv, std::vector<std::string>* out);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
