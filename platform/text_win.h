// UTF-8 / UTF-16 conversion for Windows code: the Windows back ends of
// platform/, bvhttptools' file handling and tools/ (Windows only).
#pragma once

#include <string>

namespace brisvane::platform {

// UTF-8 to UTF-16 for the wide Windows calls; empty when `utf8` is empty or
// the conversion fails.
std::wstring Widen(const std::string& utf8);

// UTF-16 from the wide Windows calls to UTF-8; empty when `wide` is empty or
// the conversion fails.
std::string Narrow(const std::wstring& wide);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
