#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "command_line.h"

namespace {

// UTF-16 to UTF-8; false when the conversion fails.
bool ToUtf8(const std::wstring& wide, std::string* out) {
  out->clear();
  if (wide.empty()) return true;
  const int size = static_cast<int>(wide.size());
  const int count = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), size,
                                        nullptr, 0, nullptr, nullptr);
  if (count <= 0) return false;
  out->resize(static_cast<std::size_t>(count));
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), size, &(*out)[0],
                             count, nullptr, nullptr) == count;
}

}  // namespace

bool FirstArgument(int, char**, std::string* out) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return false;
  const bool converted = count >= 2 && ToUtf8(wide[1], out);
  LocalFree(wide);
  return converted;
}

void MakeStandardInputBinary() {
  // Text mode would turn CR LF into LF and stop at Ctrl-Z.
  _setmode(_fileno(stdin), _O_BINARY);
}
