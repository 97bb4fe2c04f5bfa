#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "command_line.h"

namespace brisvane::platform {

namespace {

// Strict, unlike Narrow(): a lone surrogate must not turn into U+FFFD, or a
// URL would name something its sender never asked for.
bool ToUtf8(const wchar_t* wide, std::string* out) {
  out->clear();
  const int size = static_cast<int>(wcslen(wide));
  if (size == 0) return true;
  const int count =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, size, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return false;
  out->resize(static_cast<std::size_t>(count));
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, size, &(*out)[0], count,
                             nullptr, nullptr) == count;
}

}  // namespace

bool CommandLineArguments(int, char**, std::vector<std::string>* out) {
  out->clear();
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return false;
  bool converted = true;
  for (int i = 0; i < count && converted; ++i) {
    std::string argument;
    converted = ToUtf8(wide[i], &argument);
    out->push_back(std::move(argument));
  }
  LocalFree(wide);
  if (!converted) out->clear();
  return converted;
}

}  // namespace brisvane::platform
