// File operations of the download library that differ between platforms.
// Paths are UTF-8 throughout.
#pragma once

#include <cstdio>
#include <string>

namespace bvhttptools {

// Opens `path` for writing, truncated or created, binary, and never inherited
// by child processes. Returns nullptr on failure.
std::FILE* OpenPartFile(const std::string& path);

// Asks the system to start writing the stream's data to storage in the
// background, without waiting, so the final sync has little left to do.
void StartWriteback(std::FILE* file);

// Flushes the stream's buffer and asks the system to put the data on storage.
bool SyncFile(std::FILE* file);

// Moves `from` onto `to`, replacing an existing `to` in one step.
bool ReplaceFile(const std::string& from, const std::string& to);

// Removes a file; a missing file is not an error.
void RemoveFile(const std::string& path);

// True when `path` names an existing directory.
bool IsDirectory(const std::string& path);

}  // namespace bvhttptools
