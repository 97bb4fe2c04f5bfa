// File operations of the download library that differ between platforms.
// Paths are UTF-8 throughout.
#pragma once

#include <cstdio>
#include <string>

namespace bvhttptools {

// Creates `path` anew for writing, binary, never inherited by child
// processes. A file left at that name by an earlier run is removed first;
// whatever stands there afterwards (a link, a junction, a file planted after
// the removal) makes the call fail instead of being followed or reused. Fails
// too when the folder holding `path` is itself a link or a junction: the
// folder may belong to a less-privileged user than the caller. nullptr on
// failure.
std::FILE* CreatePartFile(const std::string& path);

// Called after a write made the stream's file grow from `before` to `after`
// bytes. Starts writing each completed stretch to storage and waits for the
// one written a few stretches earlier: unwritten data stays bounded while the
// network still delivers, so the sync before the rename has little left.
void WriteBehind(std::FILE* file, long long before, long long after);

// Flushes the stream's buffer and asks the system to put the data on storage.
bool SyncFile(std::FILE* file);

// Moves `from` onto `to` (both in the same folder, which must not have been
// replaced by a link meanwhile), replacing an existing `to` in one step. A file
// briefly held open by someone else (a virus scanner on Windows) is waited
// for a few seconds before the move counts as failed.
bool ReplaceFile(const std::string& from, const std::string& to);

// Removes a file (a link itself, never what it points to); a missing file is
// not an error.
void RemoveFile(const std::string& path);

}  // namespace bvhttptools
