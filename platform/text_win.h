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

// The same both ways, but strict: false (and the output empty) where the
// text is not valid UTF-8, or holds a lone surrogate, instead of putting
// U+FFFD in its place. For text that names something (a URL, a command
// line), which must arrive as its sender wrote it or not at all.
bool WidenStrict(const std::string& utf8, std::wstring* wide);
bool NarrowStrict(const std::wstring& wide, std::string* utf8);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
