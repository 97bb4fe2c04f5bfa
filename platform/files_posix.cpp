#include "files_posix.h"

#include <fcntl.h>

#include <cerrno>

namespace platform {

int OpenNoFollow(const char* path, int flags) {
  int fd;
  do {
    fd = open(path, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace platform
