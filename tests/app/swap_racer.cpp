// Test helper playing the owner of the upgrader's download folder, a user
// with fewer rights than the upgrader. The moment the download is renamed to
// NAME it renames a file of its own over that name; the moment anything
// opens or reads that name afterwards, it rewrites the file in place with
// other bytes. Prints "ready" once it watches; ends after 60 s or when killed.
//
// Usage: swap_racer FOLDER NAME OWN_BYTES_FILE REWRITE_BYTES_FILE
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string Slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool Put(const std::string& path, const std::string& bytes, int flags) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | flags, 0755);
  if (fd < 0) return false;
  const bool whole = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(fd);
  return whole;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  const std::string folder = argv[1];
  const std::string name = argv[2];
  const std::string own = Slurp(argv[3]);
  const std::string rewrite = Slurp(argv[4]);
  const std::string target = folder + "/" + name;
  const std::string spare = folder + "/.racer-own";
  if (!Put(spare, own, O_CREAT | O_TRUNC)) return 3;

  const int watch = inotify_init1(IN_CLOEXEC);
  if (watch < 0 || inotify_add_watch(watch, folder.c_str(), IN_MOVED_TO | IN_OPEN | IN_ACCESS) < 0) {
    return 4;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  alarm(60);

  bool swapped = false;
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = read(watch, buffer, sizeof buffer);
    if (got <= 0) return 5;
    for (char* at = buffer; at < buffer + got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      at += sizeof(inotify_event) + event->len;
      if (event->len == 0 || name != event->name) continue;
      if ((event->mask & IN_MOVED_TO) != 0 && !swapped) {
        swapped = rename(spare.c_str(), target.c_str()) == 0;
      } else if (swapped && (event->mask & (IN_OPEN | IN_ACCESS)) != 0 && !rewrite.empty()) {
        // Our own write below opens it too: rewrite once.
        Put(target, rewrite, 0);
        return 0;
      }
    }
  }
}
