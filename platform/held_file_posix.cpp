// Linux: a descriptor opened without following links; views are mmap.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "files_posix.h"
#include "held_file.h"

namespace brisvane::platform {

bool HeldFile::Open(const std::string& path) {
  Close();
  const int fd = OpenNoFollow(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  native_ = fd;
  if (!Describe()) {
    Close();
    errno = EINVAL;
    return false;
  }
  // Reads must block normally now that a FIFO is ruled out.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return true;
}

HeldFile HeldFile::Writable(std::intptr_t native) {
  HeldFile file;
  file.native_ = native;
  file.writable_ = true;
  file.Describe();
  return file;
}

bool HeldFile::Describe() {
  struct stat st;
  if (fstat(static_cast<int>(native_), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size_ = static_cast<std::uint64_t>(st.st_size);
  // A file whose one name was taken from it by the folder's owner is still
  // only ours; a second name is what could lead somebody else to it.
  singleName_ = st.st_nlink <= 1;
  return true;
}

bool HeldFile::Identify(FileIdentity* identity) const {
  const int fd = static_cast<int>(native_);
  struct statx sx;
  char text[80];
  if (statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_SIZE | STATX_BTIME, &sx) == 0) {
    int length = std::snprintf(text, sizeof text, "%x.%x:%llx", sx.stx_dev_major, sx.stx_dev_minor,
                               static_cast<unsigned long long>(sx.stx_ino));
    // An inode freed and given to a newer file would otherwise pass for the
    // old one; the birth time tells them apart where it is kept.
    if ((sx.stx_mask & STATX_BTIME) != 0) {
      std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), ":%llx.%x",
                    static_cast<unsigned long long>(sx.stx_btime.tv_sec), sx.stx_btime.tv_nsec);
    }
    identity->id = text;
    identity->size = sx.stx_size;
    return true;
  }
  // Kernels and sandboxes without statx.
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  std::snprintf(text, sizeof text, "%x.%x:%llx", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  identity->id = text;
  identity->size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

void HeldFile::Close() {
  if (native_ == kNone) return;
  CloseKeepingErrno(static_cast<int>(native_));
  native_ = kNone;
  writable_ = false;
}

bool HeldFile::Write(const void* data, std::size_t count) {
  if (!writable_) return false;
  const char* bytes = static_cast<const char*>(data);
  while (count > 0) {
    const ssize_t done = write(static_cast<int>(native_), bytes, count);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    count -= static_cast<std::size_t>(done);
  }
  return true;
}

bool HeldFile::WriteAt(std::uint64_t offset, const void* data, std::size_t count) {
  if (!writable_) return false;
  const char* bytes = static_cast<const char*>(data);
  while (count > 0) {
    const ssize_t done = pwrite(static_cast<int>(native_), bytes, count, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    offset += static_cast<std::uint64_t>(done);
    count -= static_cast<std::size_t>(done);
  }
  return true;
}

bool HeldFile::Truncate() {
  const int fd = static_cast<int>(native_);
  return writable_ && ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0;
}

bool HeldFile::Sync() {
  int rc;
  do {
    rc = fsync(static_cast<int>(native_));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool HeldFile::LetOthersRead() { return fchmod(static_cast<int>(native_), 0644) == 0; }

bool HeldFile::Seal() {
  if (!writable_) return valid();
  // The same file read-only, reached through our own descriptor rather than
  // through any name in the folder. Once the writable one is closed nothing
  // can write to it (it is ours, 0600), and it can be run: a writable
  // descriptor of its own would make the exec fail with ETXTBSY.
  const std::string self = "/proc/self/fd/" + std::to_string(static_cast<int>(native_));
  int fd;
  do {
    fd = open(self.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  Close();
  if (fd < 0) return false;
  native_ = fd;
  if (!Describe()) {
    Close();
    return false;
  }
  return true;
}

long long HeldFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const {
  ssize_t got;
  do {
    got = pread(static_cast<int>(native_), buffer, count, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  return got;
}

FileView::~FileView() {
  if (base_ != nullptr) munmap(base_, size_);
}

bool FileView::Map(const HeldFile& file) {
  if (base_ != nullptr || !file.valid()) return false;
  // mmap refuses an empty length; an empty file is an empty view.
  if (file.size() == 0) return true;
  void* base = mmap(nullptr, file.size(), PROT_READ, MAP_PRIVATE, static_cast<int>(file.native()), 0);
  if (base == MAP_FAILED) return false;
  base_ = base;
  size_ = file.size();
  return true;
}

}  // namespace brisvane::platform
