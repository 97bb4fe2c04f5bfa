#include "file_sync.h"

#include <fcntl.h>

namespace bvhttptools {

namespace {

// Stretches of 8 MiB, waited for 4 stretches behind the newest: at most
// about 40 MiB of the download is dirty at any time.
constexpr long long kStretch = 8LL * 1024 * 1024;
constexpr long long kLag = 4;

}  // namespace

void WriteBehind(const platform::HeldFile& file, long long before, long long after) {
  const int fd = static_cast<int>(file.native());
  for (long long n = before / kStretch; n < after / kStretch; ++n) {
    ::sync_file_range(fd, n * kStretch, kStretch, SYNC_FILE_RANGE_WRITE);
    if (n < kLag) continue;
    // Best effort, like the start above: the final sync still covers
    // whatever this misses, so a failure here needs no handling.
    ::sync_file_range(fd, (n - kLag) * kStretch, kStretch,
                      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                          SYNC_FILE_RANGE_WAIT_AFTER);
  }
}

}  // namespace bvhttptools
