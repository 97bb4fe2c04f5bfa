// Linux: a folder is the descriptor of its last component, reached with
// openat(O_NOFOLLOW) one component at a time; every file in it is reached
// through that descriptor.
#include "folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>


namespace brisvane::platform {

namespace {

bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The folder `name` in `dir`, never through a link; created first when
// missing and `create`. -1 on failure.
int OpenComponent(int dir, const std::string& name, bool create) {
  if (!PlainName(name)) {
    errno = EINVAL;
    return -1;
  }
  // The mode is narrowed by the umask, as for any folder the user makes.
  if (create && mkdirat(dir, name.c_str(), 0777) != 0 && errno != EEXIST) return -1;
  int fd;
  do {
    fd = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void CloseKeepingErrno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

}  // namespace

void Folder::Close() {
  for (std::intptr_t handle : handles_) CloseKeepingErrno(static_cast<int>(handle));
  handles_.clear();
}

bool Folder::Open(const std::string& base, const std::vector<std::string>& names, bool create) {
  Close();
  // The base is the system's answer (the user's data location) and is
  // taken as it is; below it, every component is checked.
  int dir;
  do {
    dir = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (dir < 0 && errno == EINTR);
  if (dir < 0) return false;
  std::string path = base;
  for (const std::string& name : names) {
    const int next = OpenComponent(dir, name, create);
    CloseKeepingErrno(dir);
    if (next < 0) return false;
    dir = next;
    path += (path.empty() || path.back() == '/' ? "" : "/") + name;
  }
  handles_.push_back(dir);
  path_ = std::move(path);
  return true;
}

Folder Folder::Child(const std::string& name, bool create) const {
  Folder child;
  if (!valid()) return child;
  const int fd = OpenComponent(static_cast<int>(native()), name, create);
  if (fd < 0) return child;
  child.handles_.push_back(fd);
  child.path_ = path_ + (path_.empty() || path_.back() == '/' ? "" : "/") + name;
  return child;
}

HeldFile Folder::CreateNew(const std::string& name, bool) const {
  if (!valid() || !PlainName(name)) {
    errno = EINVAL;
    return HeldFile();
  }
  const int dir = static_cast<int>(native());
  // A leftover of an interrupted run; unlinkat removes a link itself, never
  // what it points to.
  unlinkat(dir, name.c_str(), 0);
  // Whatever appeared since is somebody else's: O_EXCL refuses it, and
  // O_NOFOLLOW a link, instead of writing through it. Nobody but our own
  // user can open it afterwards (0600).
  int fd;
  do {
    fd = openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return HeldFile();
  return HeldFile::Writable(fd);
}

bool Folder::Rename(const HeldFile&, const std::string& from, const std::string& to) const {
  if (!valid() || !PlainName(from) || !PlainName(to)) {
    errno = EINVAL;
    return false;
  }
  const int dir = static_cast<int>(native());
  if (renameat(dir, from.c_str(), dir, to.c_str()) != 0) return false;
  // The rename lives in the folder: sync it too, so a crash right after a
  // reported success cannot bring back the old name. Best effort: some file
  // systems refuse it on folders.
  fsync(dir);
  return true;
}

bool Folder::Remove(const std::string& name, HeldFile& file) const {
  struct stat held;
  struct stat named;
  const int dir = static_cast<int>(native());
  // Only our own file: the folder's owner may have put theirs at the name.
  const bool ours = valid() && file.valid() && PlainName(name) &&
                    fstat(static_cast<int>(file.native()), &held) == 0 &&
                    fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                    held.st_dev == named.st_dev && held.st_ino == named.st_ino;
  file.Close();
  return ours && unlinkat(dir, name.c_str(), 0) == 0;
}

void Folder::RemoveName(const std::string& name) const {
  if (valid() && PlainName(name)) unlinkat(static_cast<int>(native()), name.c_str(), 0);
}

bool Folder::HasFolder(const std::string& name) const {
  struct stat st;
  return valid() && PlainName(name) &&
         fstatat(static_cast<int>(native()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(st.st_mode);
}

bool RunningElevated() { return geteuid() == 0; }

}  // namespace brisvane::platform
