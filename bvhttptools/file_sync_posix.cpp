#include "file_sync.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace bvhttptools {

namespace {

// Stretches of 8 MiB, waited for 4 stretches behind the newest: at most
// about 40 MiB of the download is dirty at any time.
constexpr long long kStretch = 8LL * 1024 * 1024;
constexpr long long kLag = 4;

// Buffers are page-aligned; a file system asking for more gets the cache.
constexpr std::size_t kPage = 4096;

}  // namespace

bool WriteBehind(const platform::HeldFile& file, long long before, long long after) {
  const int fd = static_cast<int>(file.native());
  for (long long n = before / kStretch; n < after / kStretch; ++n) {
    ::sync_file_range(fd, n * kStretch, kStretch, SYNC_FILE_RANGE_WRITE);
    if (n < kLag) continue;
    // The wait reports a failed write-back, and consumes it: the final
    // fsync would then report success for data that never reached the
    // disk, so it fails the download here. A system without the call
    // leaves it all to that fsync.
    const int rc = ::sync_file_range(fd, (n - kLag) * kStretch, kStretch,
                                     SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                         SYNC_FILE_RANGE_WAIT_AFTER);
    if (rc != 0 && errno != ENOSYS && errno != EINVAL && errno != ESPIPE && errno != EINTR) return false;
  }
  return true;
}

std::size_t DirectWriteAlignment(const platform::HeldFile& file) {
  struct statx about {};
  const int fd = static_cast<int>(file.native());
  // tmpfs takes O_DIRECT but reports no alignment: it has no disk to skip
  // the cache for, and its "direct" writes are cached ones.
  if (statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &about) != 0 ||
      (about.stx_mask & STATX_DIOALIGN) == 0 || about.stx_dio_offset_align == 0 ||
      about.stx_dio_mem_align > kPage) {
    return 0;
  }
  // Whole pages keep every write aligned for any device up to 4 KiB sectors.
  return std::max<std::size_t>(kPage, about.stx_dio_offset_align);
}

bool SetDirectWrites(const platform::HeldFile& file, bool on) {
  const int fd = static_cast<int>(file.native());
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return fcntl(fd, F_SETFL, on ? (flags | O_DIRECT) : (flags & ~O_DIRECT)) == 0;
}

}  // namespace bvhttptools
