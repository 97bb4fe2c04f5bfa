// Linux: the log is opened without following links and locked against other
// writers.
#include "log_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "files_posix.h"

namespace brisvane::platform {

FILE* OpenSharedLogFile(const std::string& utf8Path) {
  const std::string folder = FolderOf(utf8Path);
  if (utf8Path.find('/') == std::string::npos || folder == "/") {
    errno = EINVAL;
    return nullptr;
  }
  // The log's folder and the data folder holding it may both belong to a
  // less-privileged user: neither may be a link.
  const std::string data = FolderOf(folder);
  Folder logs;
  const bool opened = data == "/" ? logs.Open(data, {NameOf(folder)}, false)
                                  : logs.Open(FolderOf(data), {NameOf(data), NameOf(folder)}, false);
  if (!opened) return nullptr;
  return OpenSharedLogFile(logs, NameOf(utf8Path));
}

namespace {

// Opens `name` in `dir` for appending without following a link, creating it
// when missing; `*created` tells which. -1 on failure.
int OpenOrCreate(int dir, const std::string& name, bool* created) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd;
  do {
    fd = openat(dir, name.c_str(), kFlags | O_CREAT | O_EXCL, 0644);
  } while (fd < 0 && errno == EINTR);
  *created = fd >= 0;
  if (fd >= 0 || errno != EEXIST) return fd;
  do {
    fd = openat(dir, name.c_str(), kFlags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A log of ours is a regular file whose one name is `name` in `dir`, owned
// by us or by the folder's owner. Checked after the open and before the
// first write: a second name removed between an open and a look at the
// link count would otherwise leave the open file somebody else's.
bool IsOurLog(int fd, int dir, const std::string& name) {
  struct stat st;
  struct stat named;
  struct stat folder;
  return fstat(fd, &st) == 0 && fstat(dir, &folder) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
         (st.st_uid == geteuid() || st.st_uid == folder.st_uid) &&
         fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == st.st_dev &&
         named.st_ino == st.st_ino;
}

}  // namespace

FILE* OpenSharedLogFile(const Folder& folder, const std::string& name) {
  if (!folder.valid()) {
    errno = ENOENT;
    return nullptr;
  }
  const int dir = static_cast<int>(folder.native());
  bool created = false;
  const int fd = OpenOrCreate(dir, name, &created);
  if (fd < 0) return nullptr;
  int rc = 0;
  if (!IsOurLog(fd, dir, name)) {
    // A FIFO or device, a file with other names, somebody else's file.
    rc = -1;
    errno = EINVAL;
  } else if (created) {
    // Whatever the umask: readable, written by its owner only, and the
    // owner is the folder's, so that the user keeps their log.
    struct stat above;
    if (fchmod(fd, 0644) == 0 && fstat(dir, &above) == 0 && geteuid() == 0 &&
        fchown(fd, above.st_uid, above.st_gid) != 0) {
      // Left root's, the log is still written; only its user cannot remove it.
    }
  }
  if (rc == 0) {
    do {
      rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
  }
  FILE* file = rc == 0 ? fdopen(fd, "a") : nullptr;
  if (file == nullptr) CloseKeepingErrno(fd);
  return file;
}

}  // namespace brisvane::platform
