// Linux: a folder is the descriptor of its last component, reached with
// openat(O_NOFOLLOW) one component at a time; every file in it is reached
// through that descriptor.
#include "folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

#include "files_posix.h"

namespace brisvane::platform {

namespace {

bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// A folder the upgrader makes for the user is the user's: the owner and
// group of the folder it was made in, and writable by that owner alone
// whatever the umask, so a later run without raised rights works there and
// nobody else can change what is kept in it.
void AdoptParentOwner(int parent, int fd) {
  struct stat above;
  if (fstat(parent, &above) != 0) return;
  fchmod(fd, 0700);
  // Left root's, the folder still works for a raised run; only the user's
  // own runs cannot use it then.
  if (geteuid() == 0 && fchown(fd, above.st_uid, above.st_gid) != 0) return;
}

// The folder `name` in `dir`, never through a link; created first when
// missing and `create`. -1 on failure.
int OpenComponent(int dir, const std::string& name, bool create) {
  if (!PlainName(name)) {
    errno = EINVAL;
    return -1;
  }
  const bool made = create && mkdirat(dir, name.c_str(), 0700) == 0;
  if (create && !made && errno != EEXIST) return -1;
  int fd;
  do {
    fd = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  struct stat st;
  // Only a folder still ours: the parent's owner may have put their own at
  // the name since, and theirs is left as it is.
  if (made && fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == geteuid()) AdoptParentOwner(dir, fd);
  return fd;
}

}  // namespace

void Folder::Close() {
  for (std::intptr_t handle : handles_) CloseKeepingErrno(static_cast<int>(handle));
  handles_.clear();
}

bool Folder::Open(const std::string& base, const std::vector<std::string>& names, bool create,
                  std::string* why) {
  Close();
  // Without raised rights the base is the system's answer and is taken as it
  // is: the user can only steer themselves. With them it is walked to, so
  // that no link of the user's sends root elsewhere. Below it, every
  // component is checked.
  int dir;
  if (RunningElevated()) {
    dir = OpenUnsteeredFolder(base, why);
  } else {
    do {
      dir = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (dir < 0 && errno == EINTR);
    if (dir < 0 && why != nullptr) *why = "cannot open " + base;
  }
  if (dir < 0) return false;
  std::string path = base;
  for (const std::string& name : names) {
    const int next = OpenComponent(dir, name, create);
    CloseKeepingErrno(dir);
    path += (path.empty() || path.back() == '/' ? "" : "/") + name;
    if (next < 0) {
      if (why != nullptr) *why = "cannot open " + path + " without following a link";
      return false;
    }
    dir = next;
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

HeldFile Folder::OpenOwnLeftover(const std::string& name, bool) const {
  if (!valid() || !PlainName(name)) {
    errno = EINVAL;
    return HeldFile();
  }
  int fd;
  do {
    fd = openat(static_cast<int>(native()), name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return HeldFile();
  struct stat st;
  // What the folder's owner planted, linked or loosened is not ours to go on
  // writing into: only a file exactly as CreateNew left it.
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid() ||
      (st.st_mode & 077) != 0) {
    CloseKeepingErrno(fd);
    errno = EPERM;
    return HeldFile();
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return HeldFile::Writable(fd);
}

std::vector<std::string> Folder::Names() const {
  std::vector<std::string> names;
  const int listing = valid() ? fcntl(static_cast<int>(native()), F_DUPFD_CLOEXEC, 0) : -1;
  DIR* entries = listing < 0 ? nullptr : fdopendir(listing);
  if (entries == nullptr) {
    if (listing >= 0) close(listing);
    return names;
  }
  // The copy shares its position with the folder's own descriptor.
  rewinddir(entries);
  while (const dirent* entry = readdir(entries)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(entries);
  return names;
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

namespace {

// A descriptor of its own for `dir` (flock belongs to the open file, and the
// folder's own descriptor is shared by every user of the Folder).
int OwnDescription(int dir) {
  int fd;
  do {
    fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Takes the flock `operation` on `fd`, waiting at most about a second:
// in a place every user can open (/tmp), anybody can hold a lock on the
// folder itself, and the upgrader must not wait on them for ever.
bool LockWithin(int fd, int operation) {
  constexpr int kTries = 50;
  for (int i = 0; i < kTries; ++i) {
    if (flock(fd, operation | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    usleep(20000);
  }
  return false;
}

// The new private folder `name` in `dir`, held and locked; -1 on failure.
int MakeLockedPrivate(int dir, const std::string& name) {
  if (!PlainName(name) || mkdirat(dir, name.c_str(), 0700) != 0) return -1;
  int fd;
  do {
    fd = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  struct stat st;
  // The folder's owner may have swapped their own in at the new name: only
  // ours, and then only ours to write or list (the umask may narrow 0700).
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_uid != geteuid() || fchmod(fd, 0700) != 0 ||
      flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (fd >= 0) CloseKeepingErrno(fd);
    return -1;
  }
  return fd;
}

}  // namespace

Folder Folder::CreatePrivate(const std::string& prefix) const {
  Folder made;
  unsigned char random[8];
  if (!valid() || getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return made;
  std::string name = prefix;
  for (unsigned char byte : random) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", byte);
    name += hex;
  }
  const int dir = static_cast<int>(native());
  // Between mkdir and its lock the new folder looks like a leftover: a
  // shared lock on the parent keeps RemoveLeftoverPrivate (exclusive) out
  // until then. Without it (somebody holds the parent locked), a sweep that
  // took the new folder first makes the open below fail: nothing runs.
  const int guard = OwnDescription(dir);
  if (guard >= 0) LockWithin(guard, LOCK_SH);
  const int fd = MakeLockedPrivate(dir, name);
  if (guard >= 0) CloseKeepingErrno(guard);
  if (fd < 0) return made;
  made.handles_.push_back(fd);
  made.path_ = path_ + (path_.empty() || path_.back() == '/' ? "" : "/") + name;
  return made;
}

namespace {

// Copies the bytes `file` holds into `copy`, created new as `name` in `to`
// and sealed. False on failure, with nothing left in `to`.
bool CopyInto(const Folder& to, const std::string& name, const HeldFile& file, HeldFile& copy) {
  copy = to.CreateNew(name);
  std::vector<char> buffer(1 << 20);
  std::uint64_t offset = 0;
  long long got = 0;
  while (copy.valid() && (got = file.ReadAt(offset, buffer.data(), buffer.size())) > 0 &&
         copy.Write(buffer.data(), static_cast<std::size_t>(got))) {
    offset += static_cast<std::uint64_t>(got);
  }
  if (copy.valid() && got == 0 && copy.Sync() && copy.Seal()) return true;
  const int error = errno;
  if (copy.valid()) to.Remove(name, copy);
  copy.Close();
  errno = error;
  return false;
}

}  // namespace

namespace {

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Renames `name` from `dir` into `into` when it still is the held file, the
// only way the held descriptor (and what runs from it) names the new place.
// Whatever the folder's owner put at the name in between goes back.
bool RenameHeld(int dir, int into, const std::string& name, const struct stat& held) {
  struct stat named;
  if (held.st_nlink == 0 || fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      !SameFile(named, held) || renameat2(dir, name.c_str(), into, name.c_str(), RENAME_NOREPLACE) != 0) {
    return false;
  }
  if (fstatat(into, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(named, held)) return true;
  if (renameat2(into, name.c_str(), dir, name.c_str(), RENAME_NOREPLACE) != 0) unlinkat(into, name.c_str(), 0);
  return false;
}

}  // namespace

bool Folder::MoveInto(const Folder& to, const std::string& name, HeldFile& file) const {
  struct stat held;
  if (!valid() || !to.valid() || !file.valid() || !PlainName(name) ||
      fstat(static_cast<int>(file.native()), &held) != 0) {
    file.Close();
    errno = EINVAL;
    return false;
  }
  // A file that cannot be renamed (another file system, or its name taken
  // from it) is copied from the bytes held: this folder's owner decides
  // nothing that lands in `to`.
  if (RenameHeld(static_cast<int>(native()), static_cast<int>(to.native()), name, held)) return true;
  HeldFile original = std::move(file);
  if (CopyInto(to, name, original, file)) {
    // The original stays nowhere the user could take it from.
    Remove(name, original);
    return true;
  }
  const int error = errno;
  Remove(name, original);
  errno = error;
  return false;
}

namespace {

// Removes everything in the folder `dir` (a descriptor this call does not
// take), links as themselves, sub-folders with what they hold. False when
// anything was left.
bool EmptyFolder(int dir, int depth) {
  const int listing = fcntl(dir, F_DUPFD_CLOEXEC, 0);
  DIR* entries = listing < 0 ? nullptr : fdopendir(listing);
  if (entries == nullptr) {
    if (listing >= 0) close(listing);
    return false;
  }
  rewinddir(entries);
  bool all = true;
  while (const dirent* entry = readdir(entries)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      const int sub = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      const bool emptied = sub >= 0 && depth > 0 && EmptyFolder(sub, depth - 1);
      if (sub >= 0) close(sub);
      all = emptied && unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 && all;
    } else {
      all = unlinkat(dir, name.c_str(), 0) == 0 && all;
    }
  }
  closedir(entries);
  return all;
}

// How deep an installer may nest what it leaves in its folder.
constexpr int kMaxDepth = 32;

}  // namespace

bool Folder::RemoveWithContents(const Folder& parent) {
  if (!valid() || !parent.valid()) return false;
  const int dir = static_cast<int>(native());
  bool removed = EmptyFolder(dir, kMaxDepth);
  const std::string name = NameOf(path_);
  struct stat held;
  struct stat named;
  const int above = static_cast<int>(parent.native());
  // The name in the parent may have been given to another folder meanwhile.
  removed = removed && fstat(dir, &held) == 0 &&
            fstatat(above, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino && unlinkat(above, name.c_str(), AT_REMOVEDIR) == 0;
  Close();
  return removed;
}

bool Folder::GiveToOwner(const HeldFile& file) const {
  struct stat folder;
  struct stat st;
  const int fd = static_cast<int>(file.native());
  if (!valid() || !file.valid() || fstat(static_cast<int>(native()), &folder) != 0 || fstat(fd, &st) != 0) {
    return false;
  }
  if (st.st_uid == folder.st_uid && st.st_gid == folder.st_gid) return true;
  return fchown(fd, folder.st_uid, folder.st_gid) == 0;
}

namespace {

// No other user can rename or replace what root has in a folder that is
// root's and writable by nobody else, or sticky.
bool OnlyRootRenames(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == 0 && ((st.st_mode & 022) == 0 || (st.st_mode & S_ISVTX) != 0);
}

// Opens `path` (absolute) from "/" one component at a time, never through
// a link, each component checked with OnlyRootRenames; `made`, when not
// empty, is created below it (root's, 0700) when missing. The program must
// be able to run from there. -1 with the reason in `*why`.
int OpenRootPlace(const std::string& path, const std::string& made, std::string* why) {
  int dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string where;
  std::vector<std::string> names;
  for (std::string::size_type at = 1; at < path.size();) {
    const std::string::size_type slash = std::min(path.find('/', at), path.size());
    names.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  if (!made.empty()) names.push_back(made);
  struct stat st;
  bool fit = dir >= 0 && fstat(dir, &st) == 0 && OnlyRootRenames(st);
  for (std::size_t i = 0; fit && i < names.size(); ++i) {
    where += "/" + names[i];
    if (!made.empty() && i + 1 == names.size()) mkdirat(dir, names[i].c_str(), 0700);
    const int next = openat(dir, names[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    CloseKeepingErrno(dir);
    dir = next;
    fit = dir >= 0 && fstat(dir, &st) == 0 && OnlyRootRenames(st);
  }
  struct statvfs fs;
  if (fit && (fstatvfs(dir, &fs) != 0 || (fs.f_flag & ST_NOEXEC) != 0)) {
    *why += (why->empty() ? "" : "; ") + where + " does not let programs run";
    fit = false;
  } else if (!fit) {
    *why += (why->empty() ? "" : "; ") + (where.empty() ? "/" : where) + " is no folder only root can change";
  }
  if (!fit && dir >= 0) CloseKeepingErrno(dir);
  return fit ? dir : -1;
}

// `name` is `prefix` and the 16 hex digits CreatePrivate adds.
bool PrivateName(const std::string& name, const std::string& prefix) {
  if (name.size() != prefix.size() + 16 || name.compare(0, prefix.size(), prefix) != 0) return false;
  return name.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos;
}

// True when no process holds a lock on a file right in `dir`: a held
// installer keeps the lock its upgrader took for as long as it runs.
bool NoFileLocked(int dir, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    const int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    const bool free = fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    if (!free) return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<const Folder> Folder::InstallerParent(std::shared_ptr<const Folder> dataFolder, std::string* why) {
  if (!RunningElevated()) return dataFolder;
  // The data folder is its user's: they could rename the installer's folder
  // aside and put their own at its name while the installer runs.
  static const char* const kPlaces[][2] = {{"/var/lib", "brisvane-upgrade"}, {"/var/tmp", ""}, {"/tmp", ""}};
  std::string reasons;
  for (const auto& place : kPlaces) {
    const int fd = OpenRootPlace(place[0], place[1], &reasons);
    if (fd < 0) continue;
    auto parent = std::make_shared<Folder>();
    parent->handles_.push_back(fd);
    parent->path_ = std::string(place[0]) + (place[1][0] == '\0' ? "" : "/") + place[1];
    return parent;
  }
  if (why != nullptr) *why = reasons;
  return nullptr;
}

std::vector<std::string> Folder::RemoveLeftoverPrivate(const std::string& prefix) const {
  std::vector<std::string> removed;
  const int guard = valid() ? OwnDescription(static_cast<int>(native())) : -1;
  if (guard < 0 || !LockWithin(guard, LOCK_EX)) {
    if (guard >= 0) close(guard);
    return removed;
  }
  // Chosen and locked under the parent's lock, so that no run can be
  // between making its folder and locking it.
  std::vector<Folder> leftovers;
  for (const std::string& name : Names()) {
    struct stat st;
    if (!PrivateName(name, prefix)) continue;
    Folder found = Child(name, false);
    if (!found.valid() || fstat(static_cast<int>(found.native()), &st) != 0 || st.st_uid != geteuid() ||
        (st.st_mode & 07777) != 0700 || flock(static_cast<int>(found.native()), LOCK_EX | LOCK_NB) != 0 ||
        !NoFileLocked(static_cast<int>(found.native()), found.Names())) {
      continue;
    }
    leftovers.push_back(std::move(found));
  }
  close(guard);
  for (Folder& leftover : leftovers) {
    const std::string path = leftover.path();
    if (leftover.RemoveWithContents(*this)) removed.push_back(path);
  }
  return removed;
}

bool RunningElevated() { return geteuid() == 0; }

}  // namespace brisvane::platform
