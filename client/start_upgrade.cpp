// StartUpgrade: the upgrader started, waited for and handed the URL, the
// same on both systems; starting and watching the process is the back end's
// (start_upgrade_posix.cpp / start_upgrade_win.cpp).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <utility>

#include "brisvane/upgrade_client.h"
#include "c_buffers.h"
#include "deadline.h"
#include "request_protocol.h"
#include "upgrade_client_backend.h"

namespace brisvane {

namespace {

using std::chrono::milliseconds;
using Status = StartResult::Status;

// How often the start looks whether the new upgrader listens yet.
constexpr milliseconds kListenPollInterval{50};
// How long a closed upgrader is given to end before the call returns.
constexpr milliseconds kCloseWait{3000};

std::uint64_t MakeRequestId() {
  std::random_device source;
  std::uint64_t id = 0;
  while (id == platform::kNoRequestId || id == platform::kWithdrawRequestId) {
    id = (std::uint64_t{source()} << 32) ^ source();
  }
  return id;
}

milliseconds Left(const platform::Deadline& deadline) {
  return milliseconds(std::max(deadline.MillisecondsLeft(), 1));
}

StartResult Ended(StartResult result, Status status, std::string reason) {
  result.status = status;
  result.reason = std::move(reason);
  return result;
}

// The hand-over's outcome as the start's.
StartResult HandOver(const std::string& url, const platform::Deadline& deadline,
                     StartResult result) {
  const HandOverResult handed = HandOverUpgrade(url, Left(deadline), result.requestId);
  if (handed.status != HandOverResult::Status::kNoUpgrader &&
      handed.status != HandOverResult::Status::kFailed) {
    result.reply = handed.reply;
  }
  switch (handed.status) {
    case HandOverResult::Status::kReplied: return Ended(std::move(result), Status::kTaken, "");
    case HandOverResult::Status::kBusy: return Ended(std::move(result), Status::kBusy, handed.reason);
    case HandOverResult::Status::kRefused:
      return Ended(std::move(result), Status::kRefused, handed.reason);
    default: return Ended(std::move(result), Status::kFailed, handed.reason);
  }
}

// Waits until the upgrader just started listens. False, with `*result`
// filled, when it ended first or the time ran out.
bool AwaitListening(backend::StartedUpgrader& upgrader, const platform::Deadline& deadline,
                    const std::string& limitText, StartResult* result) {
  std::string why;
  for (;;) {
    if (backend::UpgraderReady(&why)) return true;
    std::string how;
    if (upgrader.Exited(&how)) {
      *result = Ended(std::move(*result), Status::kExitedEarly,
                      "the upgrader exited before it listened (" + how + ")");
      return false;
    }
    if (deadline.Expired()) {
      upgrader.Terminate();
      upgrader.AwaitExit(platform::Deadline::After(kCloseWait));
      *result = Ended(std::move(*result), Status::kFailed,
                      "the upgrader did not listen within " + limitText + ": " + why);
      return false;
    }
    std::this_thread::sleep_for(std::min(kListenPollInterval, Left(deadline)));
  }
}

// Closes an upgrader this call started that did not take the URL, as
// Escape would: no idle window is left waiting.
void Withdraw(backend::StartedUpgrader& upgrader, const platform::Deadline& deadline) {
  const HandOverResult withdrawn =
      HandOverUpgrade(std::string(), Left(deadline), platform::kWithdrawRequestId);
  const platform::Deadline closeBy =
      platform::Deadline::After(std::min(kCloseWait, Left(deadline)));
  // Busy: it has taken an upgrade after all (a reply lost on the way), which
  // must run on. Unanswered: it hangs, and has taken nothing it could say.
  if (withdrawn.status == HandOverResult::Status::kBusy &&
      withdrawn.reply == platform::kReplyBusy) {
    return;
  }
  if (withdrawn.status != HandOverResult::Status::kReplied &&
      withdrawn.status != HandOverResult::Status::kBusy) {
    upgrader.Terminate();
  }
  upgrader.AwaitExit(closeBy);
}

StartResult StartAndHandOver(const std::string& url, const std::string& path,
                             const platform::Deadline& deadline, const std::string& limitText,
                             StartResult result) {
  backend::StartedUpgrader upgrader;
  std::string why;
  switch (upgrader.Start(path, backend::Limit{deadline, limitText}, &why)) {
    case backend::StartedUpgrader::Launch::kStarted: break;
    case backend::StartedUpgrader::Launch::kDeclined:
      return Ended(std::move(result), Status::kDeclined, why);
    case backend::StartedUpgrader::Launch::kNotStarted:
      return Ended(std::move(result), Status::kNotStarted, why);
    case backend::StartedUpgrader::Launch::kNoAnswer:
      return Ended(std::move(result), Status::kFailed, why);
  }
  result.started = true;
  if (!AwaitListening(upgrader, deadline, limitText, &result)) return result;
  result = HandOver(url, deadline, std::move(result));
  if (result.status != Status::kTaken) Withdraw(upgrader, deadline);
  return result;
}

}  // namespace

StartResult StartUpgrade(const std::string& url, const StartOptions& options) {
  const milliseconds limit = options.limit.count() > 0 ? options.limit : kDefaultStartLimit;
  const platform::Deadline deadline = platform::Deadline::After(limit);
  StartResult result;
  result.requestId = options.requestId != 0 ? options.requestId : MakeRequestId();
  std::string why = backend::OversizeReason(url.size());
  if (!why.empty()) return Ended(std::move(result), Status::kRefused, why);
  // One already listening takes the URL: nothing needs starting.
  if (backend::UpgraderReady(&why)) return HandOver(url, deadline, std::move(result));
  if (backend::GuardHeld()) {
    return Ended(std::move(result), Status::kGuardHeld,
                 std::string("the single-instance guard \"") + platform::kSingletonGuardName +
                     "\" is held (by this process or another): release it before starting "
                     "the upgrade");
  }
  std::string path = options.upgraderPath;
  if (path.empty()) path = backend::DefaultUpgraderPath(&why);
  if (path.empty()) return Ended(std::move(result), Status::kNotStarted, why);
  return StartAndHandOver(url, path, deadline, backend::LimitText(limit), std::move(result));
}

}  // namespace brisvane

extern "C" int brisvane_start_upgrade(const char* url, const char* upgrader_path,
                                      uint64_t request_id, int timeout_ms,
                                      uint64_t* used_request_id, char* reason,
                                      size_t reason_size) {
  try {
    if (url == nullptr) {
      brisvane::c_buffers::CopyText("no URL given", reason, reason_size);
      return BRISVANE_START_FAILED;
    }
    brisvane::StartOptions options;
    if (upgrader_path != nullptr) options.upgraderPath = upgrader_path;
    options.requestId = request_id;
    options.limit = std::chrono::milliseconds(timeout_ms);
    const brisvane::StartResult result = brisvane::StartUpgrade(url, options);
    if (used_request_id != nullptr) *used_request_id = result.requestId;
    brisvane::c_buffers::CopyText(result.reason, reason, reason_size);
    return static_cast<int>(result.status);
  } catch (...) {
    brisvane::c_buffers::CopyExceptionReason(reason, reason_size);
    return BRISVANE_START_FAILED;
  }
}
