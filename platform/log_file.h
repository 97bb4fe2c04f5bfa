// Opening the upgrade log; log_file_posix.cpp / log_file_win.cpp, chosen by
// CMake. The path is UTF-8 (the Windows back end widens it); the file is
// close-on-exec / not inheritable.
#pragma once

#include <cstdio>
#include <string>

#include "folder.h"

namespace brisvane::platform {

// Opens `utf8Path` for appending in text mode, shutting other writers out and
// letting readers in. Null when it cannot be opened or another writer holds
// it, and when a link (symbolic link, junction) stands at the path, as its
// folder or as the folder holding that one, or the file has other names (hard
// links): those folders may belong to a less-privileged user, and the log
// must never be written elsewhere.
FILE* OpenSharedLogFile(const std::string& utf8Path);

// The same for the file `name` in `folder`, which the caller reached without
// links (Folder).
FILE* OpenSharedLogFile(const Folder& folder, const std::string& name);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
