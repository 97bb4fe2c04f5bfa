#include "command_line_quote.h"

#include <cstddef>
#include <string>

namespace brisvane::platform {

std::string QuoteCommandLineArgument(const std::string& argument) {
  // Backslashes are literal unless a quote follows them: only then does the
  // parser halve them, so only then are they doubled here.
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      quoted.append(backslashes * 2 + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return quoted;
}

}  // namespace brisvane::platform
