#include "file_sync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace bvhttptools {

std::FILE* OpenPartFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) ::close(fd);
  return file;
}

void StartWriteback(std::FILE* file) {
  // Whole file, asynchronous: pages already under writeback are skipped.
  ::sync_file_range(::fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool SyncFile(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  int rc;
  do {
    rc = ::fsync(::fileno(file));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) return false;
  // The rename itself lives in the directory: sync it too, so a crash right
  // after a reported success cannot bring back the old target.
  std::string::size_type slash = to.find_last_of('/');
  std::string dir = slash == std::string::npos ? std::string(".")
                    : slash == 0               ? std::string("/")
                                               : to.substr(0, slash);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);  // best effort: some file systems refuse it on directories
    ::close(fd);
  }
  return true;
}

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace bvhttptools
