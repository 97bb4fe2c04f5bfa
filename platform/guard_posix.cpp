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

namespace {

// How often, and how far apart, a refused lock is tried again.
constexpr int kLockTries = 10;
constexpr useconds_t kLockRetryMicroseconds = 5000;

// False with errno set when the exclusive lock cannot be had. A client
// looking whether the guard is held takes a shared lock for an instant; a
// few more tries keep that look from passing for a running instance.
bool LockExclusive(int fd) {
  for (int tried = 1;; ++tried) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || tried == kLockTries) return false;
    usleep(kLockRetryMicroseconds);
  }
}

}  // namespace

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

  if (!LockExclusive(fd)) {
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
