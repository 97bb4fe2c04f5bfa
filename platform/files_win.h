// Folder helpers shared by the Windows back ends of platform/ and
// bvhttptools' file handling (internal, Windows only).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace brisvane::platform {

// The folder holding `path`; a drive's root keeps its backslash, since "C:"
// alone means the current folder of drive C.
std::wstring FolderOf(const std::wstring& path);

// The last error OpenRealFolder and Folder's opens give for a folder or file
// refused because it is a reparse point (ERROR_REPARSE_POINT_ENCOUNTERED,
// which MinGW does not name).
constexpr DWORD kReparsePointRefused = 4395;

// Opens the folder itself, not what a link standing in its place leads to,
// and refuses it when it is a link, a junction or no folder at all
// (INVALID_HANDLE_VALUE, last error kReparsePointRefused or the open's own).
// The handle lists the folder and shares no deletion, so the folder cannot
// be renamed away and replaced while it is held; it lets writers in, since
// it is one of the user's own folders above ours (the profile, AppData),
// where the user's programs keep renaming files in, which opens the folder
// for writing. The caller closes it.
HANDLE OpenRealFolder(const std::wstring& folder);

// True when `path` is `folder` or lies below it, comparing whole components
// without regard to case, "/" taken for "\" and doubled or trailing
// separators ignored; never when either holds a "." or ".." component.
// `*below` (when given) gets the components of `path` below `folder`.
bool InsideFolder(const std::wstring& folder, const std::wstring& path,
                  std::vector<std::wstring>* below = nullptr);

// How OpenInFolder opens a name: access and sharing as for CreateFileW, the
// disposition and options of NtCreateFile (FILE_OPEN, FILE_CREATE,
// FILE_OPEN_IF; FILE_DIRECTORY_FILE, FILE_NON_DIRECTORY_FILE), and the
// security descriptor a new file or folder gets (null: the inherited one).
struct RelativeOpen {
  ACCESS_MASK access;
  ULONG share;
  ULONG disposition;
  ULONG options;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
};

// Opens or creates `name`, one component, right inside the folder `folder`
// holds, never by a full path: a reparse point at the name is opened itself
// (the caller checks what it got), none is followed, and a folder that was
// turned into a mount point after it was opened does not redirect it. The
// handle is synchronous and not inheritable. INVALID_HANDLE_VALUE with the
// last error set on failure. Defined in folder_win.cpp (platform library).
HANDLE OpenInFolder(HANDLE folder, const std::wstring& name, const RelativeOpen& how);

// The full path of what `handle` holds, as the file system resolves it now
// ("\\?\C:\..." or "\\?\UNC\..."); empty on failure.
std::wstring FinalPath(HANDLE handle);

// The path of what `handle` holds below its volume ("\Users\..."), to tell
// whether it was renamed; empty on failure.
std::wstring PathOnVolume(HANDLE handle);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
