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

FILE* OpenSharedLogFile(const Folder& folder, const std::string& name) {
  if (!folder.valid()) {
    errno = ENOENT;
    return nullptr;
  }
  int fd;
  do {
    fd = openat(static_cast<int>(folder.native()), name.c_str(),
                O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  struct stat st;
  int rc = fstat(fd, &st);
  if (rc == 0 && (!S_ISREG(st.st_mode) || st.st_nlink != 1)) {
    // A FIFO or device, or a file with other names: not a log of ours.
    rc = -1;
    errno = EINVAL;
  }
  if (rc == 0) {
    do {
      rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
  }
  FILE* file = rc == 0 ? fdopen(fd, "a") : nullptr;
  if (file == nullptr) {
    const int saved = errno;
    close(fd);
    errno = saved;
  }
  return file;
}

}  // namespace brisvane::platform
