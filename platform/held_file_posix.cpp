// Linux: a descriptor opened without following links; views are mmap.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files_posix.h"
#include "held_file.h"

namespace brisvane::platform {

bool HeldFile::Open(const std::string& path) {
  Close();
  const int fd = OpenNoFollow(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return false;
  }
  // Reads must block normally now that a FIFO is ruled out.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  native_ = fd;
  size_ = static_cast<std::uint64_t>(st.st_size);
  singleName_ = st.st_nlink == 1;
  return true;
}

void HeldFile::Close() {
  if (native_ == kNone) return;
  const int saved = errno;
  close(static_cast<int>(native_));
  native_ = kNone;
  errno = saved;
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
