#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>

#include <string>

#include "last_error.h"
#include "text_win.h"

namespace brisvane::platform {

unsigned long LastErrorCode() { return GetLastError(); }

std::string ErrorWords(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result;
  if (length > 0 && text != nullptr) result = Narrow(std::wstring(text, length));
  if (text != nullptr) LocalFree(text);
  // The system text ends in a full stop and CR LF; the caller wants one line.
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.')) {
    result.pop_back();
  }
  return result;
}

std::string ErrorText(unsigned long code) {
  return ErrorWords(code) + " (error " + std::to_string(code) + ")";
}

bool IsNotFoundError(unsigned long code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

}  // namespace brisvane::platform
