// Linux back end of the platform layer.
#include "platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

namespace platform {

namespace {

bool IsDirectory(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The uid of the login session: it survives sudo and pkexec, so a root
// upgrader and its user's client agree on one folder.
uid_t LoginUid() {
  std::ifstream in("/proc/self/loginuid");
  unsigned long value = 0;
  if (in >> value && value != 4294967295UL) return static_cast<uid_t>(value);
  return geteuid();
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

}  // namespace platform
