// Linux: the single-instance guard is a flock on a file in the runtime
// folder; the lock goes with the process.
#include "guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "runtime_dir.h"

namespace brisvane::platform {

Guard CreateSingletonGuard(const std::string& name, bool* alreadyExists) {
  if (alreadyExists != nullptr) *alreadyExists = false;
  const std::string dir = RuntimeDir();
  if (dir.empty()) return Guard();
  const std::string path = dir + "/" + name;
  // Read-only is all flock needs, so a file a root upgrader created stays
  // lockable by its user's client. O_NOFOLLOW and O_NONBLOCK keep a planted
  // symlink or FIFO from redirecting or stalling a privileged caller.
  const int fd = open(path.c_str(),
                      O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                      0644);
  if (fd < 0) return Guard();
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return Guard();
  }
  // A restrictive umask must not lock the other side out. A file with other
  // names is not one we created: changing it would change them too.
  if (st.st_uid == geteuid() && st.st_nlink == 1 && (st.st_mode & 0777) != 0644) {
    fchmod(fd, 0644);
  }

  int rc;
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno == EWOULDBLOCK) {
      // Held by another live process. The descriptor is returned like the
      // Windows handle; releasing it only closes it.
      if (alreadyExists != nullptr) *alreadyExists = true;
      return Guard(fd);
    }
    const int saved = errno;
    close(fd);
    errno = saved;
    return Guard();
  }
  return Guard(fd);
}

void Guard::Release() {
  // Closing drops the lock; the file stays so the other side never races
  // an unlink against its own open.
  if (native_ == kNone) return;
  close(static_cast<int>(native_));
  native_ = kNone;
}

}  // namespace brisvane::platform
