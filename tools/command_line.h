// How upgrade-request reads its inputs as raw bytes on each system;
// command_line_posix.cpp / command_line_win.cpp, chosen by CMake.
#pragma once

#include <string>

// The first argument's bytes as the client would send them: on Windows the
// UTF-8 form of the wide command line, not the ANSI argv. False when there
// is none or it cannot be converted.
bool FirstArgument(int argc, char** argv, std::string* out);

// Puts standard input in binary mode where text mode would change bytes.
void MakeStandardInputBinary();
