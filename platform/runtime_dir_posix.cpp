// Linux: the runtime folder is $XDG_RUNTIME_DIR, the login user's
// /run/user folder, or a private folder in /tmp.
#include "runtime_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "files.h"
#include "files_posix.h"

namespace brisvane::platform {

namespace {

// The uid of the login session: it survives sudo and pkexec, so a root
// upgrader and its user's client agree on one folder. Falls back to the
// effective uid when the session has none.
uid_t LoginUid() {
  // Read with a raw close-on-exec descriptor: a stream would leave the file
  // open without O_CLOEXEC while another thread spawns a child.
  int fd;
  do {
    fd = open("/proc/self/loginuid", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return geteuid();
  char text[32];
  ssize_t n;
  do {
    n = read(fd, text, sizeof text - 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return geteuid();
  text[n] = '\0';
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  // (uid_t)-1 means the session has no login user.
  if (errno != 0 || end == text || (*end != '\0' && *end != '\n') ||
      value >= 4294967295UL) {
    return geteuid();
  }
  return static_cast<uid_t>(value);
}

// /tmp is shared with everyone: use the folder only when it is a real
// directory (not a symlink planted by someone else), ours, and private.
std::string PrivateTmpDir() {
  const uid_t euid = geteuid();
  const std::string dir = "/tmp/brisvane-" + std::to_string(euid);
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return std::string();
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return std::string();
  if (!S_ISDIR(st.st_mode) || st.st_uid != euid ||
      (st.st_mode & 07777) != 0700) {
    errno = EACCES;
    return std::string();
  }
  return dir;
}

}  // namespace

std::string RuntimeDir() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && IsDirectory(xdg)) return xdg;
  const std::string userDir = "/run/user/" + std::to_string(LoginUid());
  if (IsDirectory(userDir)) return userDir;
  return PrivateTmpDir();
}

bool RuntimeDirOwner(uid_t* owner, std::string* folder, std::string* why) {
  *folder = RuntimeDir();
  struct stat st;
  // Followed as the channel's bind follows it: the folder the client meets
  // the upgrader in is the one whose owner counts.
  if (folder->empty() || stat(folder->c_str(), &st) != 0) {
    *why = "no runtime folder tells whom the upgrade is for";
    return false;
  }
  *owner = st.st_uid;
  return true;
}

}  // namespace brisvane::platform
