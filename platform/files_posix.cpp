// Linux: the file helpers of files.h and files_posix.h.
#include "files_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "files.h"

namespace brisvane::platform {

bool IsDirectory(const std::string& utf8Path) {
  struct stat st;
  return !utf8Path.empty() && stat(utf8Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int OpenNoFollow(const char* path, int flags) {
  int fd;
  do {
    fd = open(path, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void CloseKeepingErrno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

std::string FolderOf(const std::string& path) {
  const std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const std::string::size_type slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int OpenFolderOf(const std::string& path) {
  return OpenNoFollow(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY);
}

}  // namespace brisvane::platform
