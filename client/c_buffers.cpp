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

// Where to cut a text longer than `fit` bytes: before the character that
// the byte at `fit` continues, which starts at most three bytes back.
// Continuation bytes no such character leads are characters of their own, so
// a cut drops at most three bytes that would have fit.
std::size_t CutAt(const char* text, std::size_t fit) {
  for (std::size_t back = 0; back <= 3 && back <= fit; ++back) {
    const unsigned char c = static_cast<unsigned char>(text[fit - back]);
    if ((c & 0xC0) == 0x80) continue;
    const std::size_t span = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return span > back ? fit - back : fit;
  }
  return fit;
}

}  // namespace

bool CopyText(const char* text, std::size_t textLength, char* out, std::size_t size) {
  if (out == nullptr || size == 0) return textLength == 0;
  const std::size_t length = textLength < size ? textLength : CutAt(text, size - 1);
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
