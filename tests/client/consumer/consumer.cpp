// A client application's hand-over through the C++ interface: looks for the
// last upgrade's record (none is no failure), waits for the upgrader it has
// just started, then hands it the URL.
//
//   consumer URL    prints "reply: N"; exits 0 on reply 0, 1 on another
//                   reply or a failure, 2 when no upgrader became ready
#include <brisvane/upgrade_client.h>

#include <chrono>
#include <cstdio>
#include <string>

// A client may have a `platform` namespace of its own; the library's helpers
// must neither clash with it nor be replaced by it at link time.
namespace platform {
std::string RuntimeDir() { return "/nonexistent/runtime folder of the client's own"; }
bool IsDirectory(const std::string&) { return false; }
}  // namespace platform

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: consumer URL\n", stderr);
    return 1;
  }
  if (platform::IsDirectory(platform::RuntimeDir())) return 1;
  const brisvane::LastUpgradeRead last = brisvane::ReadLastUpgrade();
  if (last.status == brisvane::LastUpgradeRead::Status::kUnreadable) {
    std::fprintf(stderr, "consumer: %s\n", last.reason.c_str());
    return 1;
  }
  std::string reason;
  if (!brisvane::WaitForUpgrader(std::chrono::seconds(20), &reason)) {
    std::fprintf(stderr, "consumer: %s\n", reason.c_str());
    return 2;
  }
  const brisvane::HandOverResult result =
      brisvane::HandOverUpgrade(argv[1], std::chrono::seconds(10));
  if (result.status != brisvane::HandOverResult::Status::kReplied) {
    std::fprintf(stderr, "consumer: %s\n", result.reason.c_str());
    return 1;
  }
  std::printf("reply: %d\n", static_cast<int>(result.reply));
  return result.reply == 0 ? 0 : 1;
}
