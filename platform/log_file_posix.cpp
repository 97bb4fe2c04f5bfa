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

namespace {

// Opens the log's folder, refusing a link as it or as the data folder
// holding it: both may belong to a less-privileged user, and a link there
// would have a privileged upgrader write where that user chooses.
int OpenLogFolder(const std::string& folder) {
  const int up = OpenFolderOf(folder);
  if (up < 0) return -1;
  int dir;
  do {
    dir = openat(up, NameOf(folder).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (dir < 0 && errno == EINTR);
  const int saved = errno;
  close(up);
  errno = saved;
  return dir;
}

}  // namespace

FILE* OpenSharedLogFile(const std::string& utf8Path) {
  const std::string::size_type slash = utf8Path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) {
    errno = EINVAL;
    return nullptr;
  }
  const int dir = OpenLogFolder(utf8Path.substr(0, slash));
  if (dir < 0) return nullptr;
  const std::string name = utf8Path.substr(slash + 1);
  int fd;
  do {
    fd = openat(dir, name.c_str(),
                O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  const int openError = errno;
  close(dir);
  if (fd < 0) {
    errno = openError;
    return nullptr;
  }
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
