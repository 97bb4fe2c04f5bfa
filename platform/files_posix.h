// File helpers shared by the Linux back ends of platform/ and bvhttptools'
// file handling (internal, Linux only).
#pragma once

#include <sys/types.h>

#include <string>

namespace brisvane::platform {

// Opens `path` with `flags`, never through a link, close-on-exec, and
// without stalling on a FIFO planted in its place.
int OpenNoFollow(const char* path, int flags);

// Closes `fd` leaving errno as the failure before it set it, for the
// caller that reports that failure after cleaning up.
void CloseKeepingErrno(int fd);

// The folder part of `path`: "." without one, "/" for a file at the root.
std::string FolderOf(const std::string& path);

// The part of `path` after its last slash.
std::string NameOf(const std::string& path);

// Opens the folder holding `path` as OpenNoFollow does, refusing a link in
// its place: a folder that a less-privileged user owns could otherwise point
// a privileged caller anywhere. -1 on failure; the caller closes it.
int OpenFolderOf(const std::string& path);

// Opens the folder at the absolute `path` for a privileged caller, walking
// from "/" one component at a time: a link on the way is followed only when
// root owns it or when the folder it leads to belongs to the link's own
// owner, so that a user who owns folders on the way cannot point the caller
// into root's folders or another user's. -1 with a one-line `*why` (when
// given) on failure; the caller closes the descriptor.
//
// A "..", and a folder finally reached that belongs neither to root nor to
// the user the upgrade is for (RuntimeDirOwner), are refused as well.
int OpenUnsteeredFolder(const std::string& path, std::string* why);

// The user an upgrade is for: the owner of RuntimeDir(), through which that
// user's client reaches the upgrader. Fills `*owner` and `*folder` (the
// runtime folder's path); false with a one-line `*why` when there is none.
// Defined beside RuntimeDir() in runtime_dir_posix.cpp.
bool RuntimeDirOwner(uid_t* owner, std::string* folder, std::string* why);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
