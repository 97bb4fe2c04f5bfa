// File helpers shared by the Linux back ends of platform/ (internal).
#pragma once

namespace platform {

// Opens `path` with `flags`, never through a link, close-on-exec, and
// without stalling on a FIFO planted in its place.
int OpenNoFollow(const char* path, int flags);

}  // namespace platform
