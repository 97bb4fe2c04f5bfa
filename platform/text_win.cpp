#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>

#include <string>

#include "text_win.h"

namespace platform {

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int size = static_cast<int>(utf8.size());
  const int count =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  if (count <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, &wide[0], count);
  return wide;
}

}  // namespace platform
