#include "c_buffers.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace brisvane::c_buffers {

namespace {

// What an exception escaping the C++ side says to a C caller.
std::string ExceptionText() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unexpected failure";
  }
}

}  // namespace

bool CopyText(const char* text, std::size_t textLength, char* out, std::size_t size) {
  if (out == nullptr || size == 0) return textLength == 0;
  std::size_t length = std::min(textLength, size - 1);
  if (length < textLength) {
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(out, text, length);
  out[length] = '\0';
  return length == textLength;
}

bool CopyText(const std::string& text, char* out, std::size_t size) {
  return CopyText(text.data(), text.size(), out, size);
}

bool CopyText(const char* text, char* out, std::size_t size) {
  return CopyText(text, std::strlen(text), out, size);
}

void CopyExceptionReason(char* reason, std::size_t reasonSize) {
  try {
    CopyText(ExceptionText(), reason, reasonSize);
  } catch (...) {
    CopyText("out of memory", reason, reasonSize);
  }
}

}  // namespace brisvane::c_buffers
