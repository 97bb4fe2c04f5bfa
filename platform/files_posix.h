// File helpers shared by the Linux back ends of platform/ and bvhttptools'
// file handling (internal, Linux only).
#pragma once

#include <string>

namespace brisvane::platform {

// Opens `path` with `flags`, never through a link, close-on-exec, and
// without stalling on a FIFO planted in its place.
int OpenNoFollow(const char* path, int flags);

// The folder part of `path`: "." without one, "/" for a file at the root.
std::string FolderOf(const std::string& path);

// The part of `path` after its last slash.
std::string NameOf(const std::string& path);

// Opens the folder holding `path` as OpenNoFollow does, refusing a link in
// its place: a folder that a less-privileged user owns could otherwise point
// a privileged caller anywhere. -1 on failure; the caller closes it.
int OpenFolderOf(const std::string& path);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
