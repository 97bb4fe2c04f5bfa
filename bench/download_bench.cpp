// Downloads one URL through LogicSession and prints what it cost:
//   code=<CURLcode> status=<HTTP> elapsed_s=<wall> idle_rss_kib=<before>
//   peak_rss_kib=<process peak> bytes=<target size> tail_ms=<store time>
// where the store time runs from the last byte received to the file standing
// under its name (synced, renamed, folder synced).
// Usage: download_bench URL PATH
// BENCH_BUFFER_KIB, when set, overrides the receive buffer size;
// BENCH_RING=<buffers>x<KiB> the writer's ring; BENCH_DIRECT=0 keeps its
// writes in the cache.

#include "LogicSession.h"
#include "folder.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

long CurrentRssKib() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) {
      kib = std::strtol(line + 6, nullptr, 10);
      break;
    }
  }
  std::fclose(status);
  return kib;
}

long PeakRssKib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s URL PATH\n", argv[0]);
    return 2;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  TransferOptions options = LogicSession::GetTransferOptions();
  if (const char* buffer = std::getenv("BENCH_BUFFER_KIB")) {
    options.receiveBufferBytes = std::strtol(buffer, nullptr, 10) * 1024;
  }
  if (const char* ring = std::getenv("BENCH_RING")) {
    char* end = nullptr;
    options.writeBuffers = std::strtoul(ring, &end, 10);
    if (*end == 'x') options.writeBufferBytes = std::strtoul(end + 1, nullptr, 10) * 1024;
  }
  if (const char* direct = std::getenv("BENCH_DIRECT")) options.directWrites = std::strcmp(direct, "0") != 0;
  LogicSession::SetTransferOptions(options);

  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  CURLcode result = CURLE_OK;
  int httpStatus = 0;
  double tailMs = -1;
  const std::string path = argv[2];
  const std::string::size_type slash = path.find_last_of('/');
  auto folder = std::make_shared<platform::Folder>();
  if (!folder->Open(slash == std::string::npos ? "." : path.substr(0, slash + 1), {}, false)) {
    std::fprintf(stderr, "cannot open the folder of %s\n", argv[2]);
    return 2;
  }

  long idleRss = CurrentRssKib();
  auto start = std::chrono::steady_clock::now();
  {
    LogicSession session;
    session.DownloadInto(
        [&](const LogicSession::Result& outcome, platform::HeldFile) {
          std::lock_guard<std::mutex> lock(mutex);
          result = outcome.code;
          httpStatus = outcome.httpStatus;
          tailMs = std::chrono::duration<double, std::milli>(outcome.storeTime).count();
          finished = true;
          done.notify_all();
        },
        [](int) {}, argv[1], {}, folder,
        slash == std::string::npos ? path : path.substr(slash + 1));
  }
  {
    // Hook for the event-loop lateness measurement: the window's GUI thread
    // would run its event loop here while the transfer runs; a probe that
    // records how late its timers fire belongs in this wait.
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return finished; });
  }
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // The completion runs before the thread has let go of everything.
  while (LogicSession::RunningTransfers() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  struct stat st {};
  long long bytes = stat(argv[2], &st) == 0 ? static_cast<long long>(st.st_size) : -1;
  std::printf("code=%d status=%d elapsed_s=%.3f idle_rss_kib=%ld peak_rss_kib=%ld bytes=%lld tail_ms=%.1f\n",
              static_cast<int>(result), httpStatus, elapsed, idleRss, PeakRssKib(), bytes, tailMs);
  return result == CURLE_OK ? 0 : 1;
}
