// Writing a Windows command line: one argument quoted so that
// CommandLineToArgvW (and the C runtime's own parsing) give it back
// unchanged. Plain text handling, the same on both systems
// (command_line_quote.cpp).
#pragma once

#include <string>

namespace brisvane::platform {

// `argument` in double quotes, with each quote escaped by a backslash and the
// backslashes before a quote (or before the closing quote) doubled; other
// backslashes stay single. For any argument after the program's name; the
// argument must not hold a NUL.
std::string QuoteCommandLineArgument(const std::string& argument);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
