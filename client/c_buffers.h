// Text handed to C callers, copied into the buffers they give: shared by the
// C functions of the client library. Internal to it.
#pragma once

#include <cstddef>
#include <string>

namespace brisvane::c_buffers {

// Copies `text` into the caller's buffer of `size` bytes: cut to fit, never
// inside a UTF-8 sequence, always NUL-terminated. Nothing without a buffer.
// False when the text had to be cut.
bool CopyText(const char* text, std::size_t textLength, char* out, std::size_t size);
bool CopyText(const std::string& text, char* out, std::size_t size);
bool CopyText(const char* text, char* out, std::size_t size);

// Reports the exception being handled to a C caller as the reason;
// allocates nothing when memory is what ran out.
void CopyExceptionReason(char* reason, std::size_t reasonSize);

}  // namespace brisvane::c_buffers
