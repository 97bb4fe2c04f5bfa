#include "last_error.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace brisvane::platform {

unsigned long LastErrorCode() { return static_cast<unsigned long>(errno); }

std::string ErrorWords(unsigned long code) {
  char buf[256];
  // GNU strerror_r: returns a pointer to the text, thread-safe.
  return strerror_r(static_cast<int>(code), buf, sizeof buf);
}

std::string ErrorText(unsigned long code) {
  return ErrorWords(code) + " (errno " + std::to_string(code) + ")";
}

// ENOTDIR: a file stands where a folder on the path should be.
bool IsNotFoundError(unsigned long code) { return code == ENOENT || code == ENOTDIR; }

}  // namespace brisvane::platform
