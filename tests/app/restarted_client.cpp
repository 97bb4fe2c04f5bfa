// Stand-in client for the restart tests: started again by the upgrader at
// the end of an upgrade, it takes the guard and at once starts the next
// upgrade ($NEXT_URL) through the client library, once, and records what
// that came to in $RECORD_DIR/client.next: "<status> <reply> <id>".
// Every start is recorded in client.started, as the script stand-in does.
#include <brisvane/upgrade_client.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

int main() {
  const char* record = std::getenv("RECORD_DIR");
  const char* next = std::getenv("NEXT_URL");
  if (record == nullptr) return 2;
  const std::string dir = record;
  std::ofstream(dir + "/client.started") << "started\n";
  if (next == nullptr || std::ifstream(dir + "/client.next")) return 0;
  brisvane::ClientGuard guard;
  std::string why;
  if (guard.Take(&why) != brisvane::ClientGuard::Status::kTaken) {
    std::ofstream(dir + "/client.next") << "guard " << why << "\n";
    return 1;
  }
  brisvane::StartOptions options;
  options.guard = &guard;
  options.limit = std::chrono::seconds(20);
  const brisvane::StartResult result = brisvane::StartUpgrade(next, options);
  std::ofstream(dir + "/client.next")
      << static_cast<int>(result.status) << ' ' << result.reply << ' ' << result.requestId << ' '
      << result.reason << "\n";
  return 0;
}
