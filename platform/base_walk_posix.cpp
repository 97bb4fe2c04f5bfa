// Linux: the user's data location reached from "/" by a root upgrader, so
// that the user, who owns the folders around it, cannot point it elsewhere.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "files_posix.h"

namespace brisvane::platform {

namespace {

// As the kernel's own limit on links followed in one path.
constexpr int kMaxLinks = 40;

std::vector<std::string> ComponentsOf(const std::string& path) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  while (start <= path.size()) {
    const std::string::size_type slash = path.find('/', start);
    const std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

std::string Joined(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

// Follows paths one component at a time through O_PATH descriptors, and a
// link only when its owner may have it lead where it leads.
class BaseWalk {
 public:
  explicit BaseWalk(std::string* why) : why_(why) {}

  // The folder `path` names, resolved from `from` (a folder descriptor this
  // call does not take) when it is relative; `shown` is how `from` reads in
  // a reason. -1 with `*why` set on failure.
  int Resolve(int from, const std::string& shown, const std::string& path) {
    const bool absolute = !path.empty() && path[0] == '/';
    int dir = absolute ? open("/", O_PATH | O_DIRECTORY | O_CLOEXEC) : fcntl(from, F_DUPFD_CLOEXEC, 0);
    std::string where = absolute ? "/" : shown;
    if (dir < 0) return Fail("cannot open " + where);
    for (const std::string& name : ComponentsOf(path)) {
      const int next = Step(dir, where, name);
      CloseKeepingErrno(dir);
      if (next < 0) return -1;
      dir = next;
      where = Joined(where, name);
    }
    return dir;
  }

 private:
  // The folder `name` in `dir`, following it when it is a link its owner
  // may have lead there.
  int Step(int dir, const std::string& where, const std::string& name) {
    const std::string shown = Joined(where, name);
    const int fd = openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
      if (fd >= 0) CloseKeepingErrno(fd);
      return Fail("cannot open " + shown);
    }
    if (S_ISDIR(st.st_mode)) return fd;
    if (!S_ISLNK(st.st_mode)) {
      CloseKeepingErrno(fd);
      errno = ENOTDIR;
      return Fail(shown + " is not a folder");
    }
    std::string target;
    const bool read = ReadLink(fd, &target);
    CloseKeepingErrno(fd);
    if (!read) return Fail("cannot read the link " + shown);
    if (++links_ > kMaxLinks) {
      errno = ELOOP;
      return Fail("too many links on the way to " + shown);
    }
    return FollowLink(dir, where, shown, target, st.st_uid);
  }

  // A link is followed when root made it, or when it leads to a folder of
  // its own owner: a user's dotfiles linked to a folder of theirs keep
  // working, but no user can send the upgrader into root's folders or into
  // another user's.
  int FollowLink(int dir, const std::string& where, const std::string& shown, const std::string& target,
                 uid_t linkOwner) {
    const int resolved = Resolve(dir, where, target);
    if (resolved < 0) return -1;
    struct stat st;
    if (fstat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
      CloseKeepingErrno(resolved);
      errno = ENOTDIR;
      return Fail(shown + " leads to no folder");
    }
    if (linkOwner == 0 || st.st_uid == linkOwner) return resolved;
    CloseKeepingErrno(resolved);
    errno = EACCES;
    return Fail("the link " + shown + " (owner " + std::to_string(linkOwner) + ") leads to " + target +
                ", a folder of owner " + std::to_string(st.st_uid));
  }

  static bool ReadLink(int fd, std::string* target) {
    char buffer[PATH_MAX];
    const ssize_t n = readlinkat(fd, "", buffer, sizeof buffer);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return false;
    target->assign(buffer, static_cast<size_t>(n));
    return true;
  }

  int Fail(const std::string& reason) {
    const int saved = errno;
    if (why_ != nullptr && why_->empty()) *why_ = reason;
    errno = saved == 0 ? EACCES : saved;
    return -1;
  }

  std::string* why_;
  int links_ = 0;
};

// A base is absolute and plain: ".." would let a user's own folder lead the
// walk out of it into a neighbour's, where no link rule applies.
bool PlainAbsolute(const std::string& path, std::string* why) {
  if (path.empty() || path[0] != '/') {
    *why = "the data location is not an absolute path: " + path;
    return false;
  }
  for (const std::string& part : ComponentsOf(path)) {
    if (part != "..") continue;
    *why = "the data location " + path + " holds a \"..\" component";
    return false;
  }
  return true;
}

// Root works in a folder of the user it serves, or in its own: never in a
// third user's, whichever way the path got there. Judged on the folder
// reached, not on its name.
bool OwnedByUserOrRoot(int dir, const std::string& path, uid_t user, const std::string& userFolder,
                       std::string* why) {
  struct stat st;
  if (fstat(dir, &st) != 0) {
    *why = "cannot look at " + path;
    return false;
  }
  if (st.st_uid == 0 || st.st_uid == user) return true;
  *why = "the data location " + path + " belongs to uid " + std::to_string(st.st_uid) +
         ", neither to root nor to uid " + std::to_string(user) +
         " the upgrade is for (the owner of the runtime folder " + userFolder + ")";
  errno = EACCES;
  return false;
}

// The folder the walk found, opened for real through its O_PATH descriptor
// (taken here), never by its name. -1 on failure.
int OpenWalked(int found) {
  int dir;
  do {
    dir = openat(found, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (dir < 0 && errno == EINTR);
  CloseKeepingErrno(found);
  return dir;
}

}  // namespace

int OpenUnsteeredFolder(const std::string& path, std::string* why) {
  std::string reason;
  uid_t user = 0;
  std::string userFolder;
  if (!PlainAbsolute(path, &reason) || !RuntimeDirOwner(&user, &userFolder, &reason)) {
    if (why != nullptr) *why = reason;
    errno = EINVAL;
    return -1;
  }
  BaseWalk walk(&reason);
  const int found = walk.Resolve(-1, "/", path);
  if (found < 0) {
    if (why != nullptr) *why = reason;
    return -1;
  }
  const int dir = OpenWalked(found);
  if (dir < 0) {
    if (why != nullptr) *why = "cannot open " + path;
    return -1;
  }
  if (!OwnedByUserOrRoot(dir, path, user, userFolder, &reason)) {
    CloseKeepingErrno(dir);
    if (why != nullptr) *why = reason;
    return -1;
  }
  return dir;
}

}  // namespace brisvane::platform
