#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <utility>
#include <vector>

#include "command_line.h"
#include "text_win.h"

namespace brisvane::platform {

bool CommandLineArguments(int, char**, std::vector<std::string>* out) {
  out->clear();
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return false;
  bool converted = true;
  for (int i = 0; i < count && converted; ++i) {
    // Strict: a lone surrogate must not turn into U+FFFD, or a URL would
    // name something its sender never asked for.
    std::string argument;
    converted = NarrowStrict(wide[i], &argument);
    out->push_back(std::move(argument));
  }
  LocalFree(wide);
  if (!converted) out->clear();
  return converted;
}

}  // namespace brisvane::platform
