// Text conversion shared by the Windows back ends of platform/ (internal).
#pragma once

#include <string>

namespace platform {

// UTF-8 to UTF-16 for the wide Windows calls; empty when `utf8` is empty or
// the conversion fails.
std::wstring Widen(const std::string& utf8);

}  // namespace platform
