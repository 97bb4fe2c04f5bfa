#include "file_sync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "files_posix.h"

namespace bvhttptools {

using platform::FolderOf;
using platform::NameOf;
using platform::OpenFolderOf;

std::FILE* CreatePartFile(const std::string& path) {
  const int dir = OpenFolderOf(path);
  if (dir < 0) return nullptr;
  const std::string name = NameOf(path);
  // A leftover of an interrupted run; unlinkat removes a link itself, never
  // what it points to.
  ::unlinkat(dir, name.c_str(), 0);
  // Whatever appeared since is somebody else's: O_EXCL refuses it, and
  // O_NOFOLLOW a link, instead of writing through it.
  const int fd = ::openat(dir, name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  const int saved = errno;
  ::close(dir);
  errno = saved;
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) ::close(fd);
  return file;
}

namespace {

// Stretches of 8 MiB, waited for 4 stretches behind the newest: at most
// about 40 MiB of the download is dirty at any time.
constexpr long long kStretch = 8LL * 1024 * 1024;
constexpr long long kLag = 4;

}  // namespace

void WriteBehind(std::FILE* file, long long before, long long after) {
  const int fd = ::fileno(file);
  for (long long n = before / kStretch; n < after / kStretch; ++n) {
    ::sync_file_range(fd, n * kStretch, kStretch, SYNC_FILE_RANGE_WRITE);
    if (n < kLag) continue;
    // Best effort, like the start above: the final sync still covers
    // whatever this misses, so a failure here needs no handling.
    ::sync_file_range(fd, (n - kLag) * kStretch, kStretch,
                      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                          SYNC_FILE_RANGE_WAIT_AFTER);
  }
}

bool SyncFile(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  int rc;
  do {
    rc = ::fsync(::fileno(file));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  // Both names are resolved in the folder as it was checked: one swapped for
  // a link meanwhile is refused, not followed.
  const int dir = OpenFolderOf(to);
  if (dir < 0) return false;
  const bool sameFolder = FolderOf(from) == FolderOf(to);
  const bool moved = sameFolder && ::renameat(dir, NameOf(from).c_str(), dir,
                                              NameOf(to).c_str()) == 0;
  // The rename itself lives in the directory: sync it too, so a crash right
  // after a reported success cannot bring back the old target. Best effort:
  // some file systems refuse it on directories.
  if (moved) ::fsync(dir);
  ::close(dir);
  return moved;
}

void RemoveFile(const std::string& path) {
  const int dir = OpenFolderOf(path);
  if (dir < 0) return;
  ::unlinkat(dir, NameOf(path).c_str(), 0);
  ::close(dir);
}

}  // namespace bvhttptools
