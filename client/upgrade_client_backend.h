// What upgrade_client.cpp asks of the back end for the system it is built
// for: upgrade_client_posix.cpp / upgrade_client_win.cpp, chosen by CMake.
// Internal to the client library.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "brisvane/upgrade_client.h"
#include "deadline.h"

namespace brisvane::backend {

// One call's time limit: when it ends, and how messages name it ("30 s").
struct Limit {
  platform::Deadline deadline;
  std::string text;
};

// "30 s" for whole seconds, "1500 ms" otherwise.
std::string LimitText(std::chrono::milliseconds limit);

// Why a URL of `bytes` cannot be sent; empty when it can.
std::string OversizeReason(std::size_t bytes);

// What goes to the upgrader: a URL with its id, or a withdrawal (a flag of
// the frame on Linux, a message of its own on Windows), which carries
// neither.
struct Request {
  std::string url;
  std::uint64_t requestId = 0;
  bool withdraws = false;
};

// Sends `request`, its URL already checked against the size limit, to the
// running upgrader and waits for its reply, all by `limit.deadline`.
// kReplied here means only that a reply came. `*vanished`, when given, is
// set true when the upgrader went away under the exchange (kNoUpgrader, or a
// channel reset or closed before any reply): it took nothing.
HandOverResult Send(const Request& request, const Limit& limit, bool* vanished = nullptr);

// Send, with the reply read into the status and reason as HandOverUpgrade
// gives them (upgrade_client.cpp).
HandOverResult Exchange(const Request& request, const Limit& limit, bool* vanished = nullptr);

// One look: true when an upgrader would take a request now; otherwise false
// with a one-line reason in `*reason`.
bool UpgraderReady(std::string* reason);

// True when some process, the caller included, holds the single-instance
// guard; false when it is free or cannot be looked at.
bool GuardHeld();

// Waits, by `deadline`, until the upgrader that said it is closing has
// gone: no upgrader is ready any more and, on Windows, the process that
// owned its window has ended. True once it has.
bool AwaitUpgraderGone(const platform::Deadline& deadline);

// BrisvaneUpgrade (BrisvaneUpgrade.exe) beside the calling executable;
// empty, with `*reason` filled, when that cannot be found out.
std::string DefaultUpgraderPath(std::string* reason);

// True when StartUpgrade puts the request on the command line of the
// upgrader it starts, which the elevation prompt shows: on Windows when the
// caller runs without raised rights (or they cannot be read), since the
// elevated window then hears only elevated senders and the user's consent
// must cover the request. Linux: false.
bool PassesRequestOnCommandLine();

// Why `path` cannot be started with `arguments` (UTF-8, without NULs) on its
// command line: text that is not UTF-8, a command line longer than the
// system takes (Windows). Empty when it can.
std::string CommandLineProblem(const std::string& path, const std::vector<std::string>& arguments);

// An upgrader process this library started, owned: a process id on Linux
// (a child of the caller's), a process handle on Windows.
class StartedUpgrader {
 public:
  enum class Launch { kStarted, kDeclined, kNotStarted, kNoAnswer };
  StartedUpgrader() = default;
  ~StartedUpgrader();
  StartedUpgrader(const StartedUpgrader&) = delete;
  StartedUpgrader& operator=(const StartedUpgrader&) = delete;

  // Starts the upgrader at `path` (UTF-8) with `arguments`, raised on
  // Windows, by `limit.deadline`. Not kStarted: `*reason` says why.
  Launch Start(const std::string& path, const std::vector<std::string>& arguments,
               const Limit& limit, std::string* reason);
  // True, with `*how` ("exit code 0", ...), once the process has ended;
  // `*exitCode` (when given) is its exit code then, -1 when it ended
  // otherwise.
  bool Exited(std::string* how, long long* exitCode = nullptr);
  // True once this process has taken its request and serves: on Windows its
  // own upgrade window exists; on Linux, which never starts an upgrader with
  // its request, an upgrader listens.
  bool Serving();
  // Waits for it to end, until `deadline` at most.
  void AwaitExit(const platform::Deadline& deadline);
  // Ends it at once: it has taken nothing.
  void Terminate();

 private:
  std::intptr_t native_ = -1;
};

}  // namespace brisvane::backend
