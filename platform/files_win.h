// Folder helpers shared by the Windows back ends of platform/ and
// bvhttptools' file handling (internal, Windows only).
#pragma once

#include <windows.h>

#include <string>

namespace brisvane::platform {

// The folder holding `path`; a drive's root keeps its backslash, since "C:"
// alone means the current folder of drive C.
std::wstring FolderOf(const std::wstring& path);

// Opens the folder itself, not what a link standing in its place leads to,
// and refuses it when it is a link, a junction or no folder at all
// (INVALID_HANDLE_VALUE, last error ERROR_ACCESS_DENIED). The handle shares
// no delete access, so the folder cannot be renamed away and replaced by a
// junction while the caller works in it; the caller closes it.
HANDLE OpenRealFolder(const std::wstring& folder);

// The full path of what `handle` holds, as the file system resolves it now
// ("\\?\C:\..." or "\\?\UNC\..."); empty on failure.
std::wstring FinalPath(HANDLE handle);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
