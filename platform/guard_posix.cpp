// Linux: the single-instance guard is a flock on a file in the runtime
// folder; the lock goes with the process.
#include "guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "files_posix.h"
#include "last_error.h"
#include "runtime_dir.h"

namespace brisvane::platform {

namespace {

// How often, and how far apart, a refused lock is tried again.
constexpr int kLockTries = 10;
constexpr useconds_t kLockRetryMicroseconds = 5000;
// Opens raced by another side's unlink of the file before we give up.
constexpr int kOpenTries = 3;

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

// Opens the guard file, creating it when missing; -1 with errno set on
// failure. Read-only is all flock needs, so a file a root upgrader created
// stays lockable by its user's client. O_NOFOLLOW and O_NONBLOCK keep a
// planted symlink or FIFO from redirecting or stalling a privileged caller.
int OpenGuardFile(const std::string& path) {
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  for (int tried = 1;; ++tried) {
    const int created = open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0644);
    if (created >= 0) {
      // A restrictive umask must not lock the other side out. Only a file
      // this call made is changed: another's (a client's 0600) keeps its mode.
      fchmod(created, 0644);
      return created;
    }
    if (errno != EEXIST) return -1;
    const int existing = open(path.c_str(), kFlags);
    if (existing >= 0 || errno != ENOENT || tried == kOpenTries) return existing;
  }
}

// The guard file's descriptor, checked to be a regular file; -1 with errno
// set otherwise.
int OpenCheckedGuardFile(const std::string& path) {
  const int fd = OpenGuardFile(path);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

}  // namespace

Guard CreateSingletonGuard(const std::string& name, bool* alreadyExists) {
  if (alreadyExists != nullptr) *alreadyExists = false;
  const std::string dir = RuntimeDir();
  if (dir.empty()) return Guard();
  const int fd = OpenCheckedGuardFile(dir + "/" + name);
  if (fd < 0) return Guard();
  if (!LockExclusive(fd)) {
    if (errno == EWOULDBLOCK) {
      // Held by another live process. The descriptor is returned like the
      // Windows handle; releasing it only closes it.
      if (alreadyExists != nullptr) *alreadyExists = true;
      return Guard(fd);
    }
    CloseKeepingErrno(fd);
    return Guard();
  }
  return Guard(fd);
}

Guard TakeSingletonGuard(const std::string& name, GuardTaking* outcome, std::string* reason) {
  *outcome = GuardTaking::kFailed;
  const std::string dir = RuntimeDir();
  if (dir.empty()) {
    *reason = "no runtime folder for the guard: " + ErrorText(LastErrorCode());
    return Guard();
  }
  const std::string path = dir + "/" + name;
  const int fd = OpenCheckedGuardFile(path);
  if (fd < 0) {
    *reason = "the guard file " + path + " cannot be opened: " + ErrorText(LastErrorCode());
    return Guard();
  }
  if (LockExclusive(fd)) {
    *outcome = GuardTaking::kTaken;
    reason->clear();
    return Guard(fd);
  }
  const int err = errno;
  close(fd);
  if (err == EWOULDBLOCK) {
    *outcome = GuardTaking::kHeldElsewhere;
    *reason = "the guard " + path + " is held by another process (a client or an upgrader)";
  } else {
    *reason = "the guard file " + path +
              " cannot be locked: " + ErrorText(static_cast<unsigned long>(err));
  }
  return Guard();
}

void Guard::Release() {
  // Closing drops the lock; the file stays so the other side never races
  // an unlink against its own open.
  if (native_ == kNone) return;
  close(static_cast<int>(native_));
  native_ = kNone;
}

}  // namespace brisvane::platform
