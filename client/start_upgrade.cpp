// StartUpgrade: the upgrader started, waited for and handed the URL, the
// same on both systems; starting and watching the process is the back end's
// (start_upgrade_posix.cpp / start_upgrade_win.cpp), and so is the choice
// of road: the URL handed over once the upgrader listens, or put on the
// command line it is started with.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "brisvane/upgrade_client.h"
#include "background_call.h"
#include "deadline.h"
#include "request_protocol.h"
#include "upgrade_client_backend.h"

namespace brisvane {

namespace {

using std::chrono::milliseconds;
using Status = StartResult::Status;

// How often the start looks whether the new upgrader listens yet.
constexpr milliseconds kListenPollInterval{50};
// How long a closed upgrader is given to end before the call returns, and
// one that has closed its channel to let go of the guard.
constexpr milliseconds kCloseWait{3000};
// How often the start looks whether a closing upgrader let go of the guard.
constexpr milliseconds kGuardPollInterval{20};

constexpr char kNoDisplayReason[] = "the upgrader found no display to show its window on";

std::uint64_t MakeRequestId() {
  std::random_device source;
  std::uint64_t id = 0;
  while (id == platform::kNoRequestId) {
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

backend::Limit LimitLeft(const platform::Deadline& deadline) {
  const milliseconds left = Left(deadline);
  return backend::Limit{platform::Deadline::After(left), backend::LimitText(left)};
}

// The hand-over's outcome as the start's. `*vanished` (when given): the
// upgrader went away under it and took nothing.
StartResult HandOver(const std::string& url, const platform::Deadline& deadline,
                     StartResult result, bool* vanished = nullptr) {
  const backend::Request request{url, result.requestId, false};
  const HandOverResult handed = backend::Exchange(request, LimitLeft(deadline), vanished);
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
    long long exitCode = -1;
    if (upgrader.Exited(&how, &exitCode)) {
      *result = exitCode == platform::kNoDisplayExitCode
                    ? Ended(std::move(*result), Status::kNoDisplay, kNoDisplayReason)
                    : Ended(std::move(*result), Status::kExitedEarly,
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
    platform::SleepFor(std::min(kListenPollInterval, Left(deadline)));
  }
}

// Closes an upgrader this call started that did not take the URL, as
// Escape would: no idle window is left waiting.
void Withdraw(backend::StartedUpgrader& upgrader, const platform::Deadline& deadline) {
  const HandOverResult withdrawn =
      backend::Exchange(backend::Request{std::string(), 0, true}, LimitLeft(deadline));
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

// Starts the upgrader with `arguments`. False, with `*result` filled, when
// it did not start.
bool Launch(backend::StartedUpgrader& upgrader, const std::string& path,
            const std::vector<std::string>& arguments, const backend::Limit& limit,
            StartResult* result) {
  std::string why;
  switch (upgrader.Start(path, arguments, limit, &why)) {
    case backend::StartedUpgrader::Launch::kStarted:
      result->started = true;
      return true;
    case backend::StartedUpgrader::Launch::kDeclined:
      *result = Ended(std::move(*result), Status::kDeclined, why);
      return false;
    case backend::StartedUpgrader::Launch::kNotStarted:
      *result = Ended(std::move(*result), Status::kNotStarted, why);
      return false;
    case backend::StartedUpgrader::Launch::kNoAnswer: break;
  }
  *result = Ended(std::move(*result), Status::kFailed, why);
  return false;
}

// What the exit of an upgrader started with the request says of it.
StartResult ReadExit(long long exitCode, const std::string& how, StartResult result) {
  // Only a run that took its request ends with 0.
  if (exitCode == 0) {
    result.reply = platform::kReplyTaken;
    return Ended(std::move(result), Status::kTaken, "");
  }
  if (exitCode == platform::kNoDisplayExitCode) {
    return Ended(std::move(result), Status::kNoDisplay, kNoDisplayReason);
  }
  const long long reply = exitCode - platform::kRequestRefusedExitBase;
  const char* why = nullptr;
  switch (reply) {
    case platform::kReplyBusy: why = "another upgrader runs: the one started took nothing"; break;
    case platform::kReplyClosing: why = "the upgrader closed and took nothing"; break;
    case platform::kReplyEmptyUrl: why = "the upgrader refused the request: the URL is empty"; break;
    case platform::kReplyUnsafeName:
      why = "the upgrader refused the request: the installer's name would leave the download folder";
      break;
    case platform::kReplyNulInUrl:
      why = "the upgrader refused the request: the URL holds a NUL before its end";
      break;
    case platform::kReplyNoInstallerName:
      why = "the upgrader refused the request: the URL names no installer file";
      break;
    default:
      return Ended(std::move(result), Status::kExitedEarly,
                   "the upgrader exited before it took the request (" + how + ")");
  }
  result.reply = static_cast<std::int32_t>(reply);
  const bool busy = reply == platform::kReplyBusy || reply == platform::kReplyClosing;
  return Ended(std::move(result), busy ? Status::kBusy : Status::kRefused, why);
}

// Waits until the upgrader started with the request shows that it took it
// (it serves) or says by its exit why not.
StartResult AwaitTaken(backend::StartedUpgrader& upgrader, const platform::Deadline& deadline,
                       const std::string& limitText, StartResult result) {
  for (;;) {
    if (upgrader.Serving()) {
      result.reply = platform::kReplyTaken;
      return Ended(std::move(result), Status::kTaken, "");
    }
    std::string how;
    long long exitCode = -1;
    if (upgrader.Exited(&how, &exitCode)) return ReadExit(exitCode, how, std::move(result));
    if (deadline.Expired()) {
      upgrader.Terminate();
      upgrader.AwaitExit(platform::Deadline::After(kCloseWait));
      return Ended(std::move(result), Status::kFailed,
                   "the upgrader did not show its window within " + limitText);
    }
    platform::SleepFor(std::min(kListenPollInterval, Left(deadline)));
  }
}

// The request on the upgrader's command line, which the elevation prompt
// shows: the user consents to this request, and no other program of the
// session can hand the elevated upgrader its own first.
StartResult StartWithRequest(const std::string& url, const std::string& path,
                             const platform::Deadline& deadline, const std::string& limitText,
                             StartResult result) {
  // The upgrader drops the terminators some senders count; a command line
  // could not carry them.
  std::string sent = url;
  while (!sent.empty() && sent.back() == '\0') sent.pop_back();
  if (sent.find('\0') != std::string::npos) {
    return Ended(std::move(result), Status::kRefused,
                 "the request holds a NUL, which a command line cannot carry");
  }
  const std::vector<std::string> arguments = {platform::kRequestOption,
                                              std::to_string(result.requestId), sent};
  const std::string why = backend::CommandLineProblem(path, arguments);
  if (!why.empty()) return Ended(std::move(result), Status::kRefused, why);
  backend::StartedUpgrader upgrader;
  if (!Launch(upgrader, path, arguments, backend::Limit{deadline, limitText}, &result)) {
    return result;
  }
  return AwaitTaken(upgrader, deadline, limitText, std::move(result));
}

StartResult StartAndHandOver(const std::string& url, const std::string& path,
                             const platform::Deadline& deadline, const std::string& limitText,
                             StartResult result) {
  backend::StartedUpgrader upgrader;
  if (!Launch(upgrader, path, {}, backend::Limit{deadline, limitText}, &result)) return result;
  if (!AwaitListening(upgrader, deadline, limitText, &result)) return result;
  result = HandOver(url, deadline, std::move(result));
  if (result.status != Status::kTaken) Withdraw(upgrader, deadline);
  return result;
}

// Waits, within the call's limit, until an upgrader that said it is
// closing has gone and let go of the guard, so that a new one can start:
// a client the upgrader started again at its end gets here while the old
// one winds down. False, with `*result` filled, when it did not go in time.
bool AwaitClosed(const platform::Deadline& deadline, const std::string& limitText,
                 StartResult* result) {
  if (!backend::AwaitUpgraderGone(deadline)) {
    *result = Ended(std::move(*result), Status::kFailed,
                    "the upgrader said it was closing and did not end within " + limitText);
    return false;
  }
  // Its channel goes first; the guard goes with the process. Held longer,
  // it is someone else's, which the start then names.
  const platform::Deadline freeBy =
      platform::Deadline::After(std::min(kCloseWait, Left(deadline)));
  while (backend::GuardHeld() && !freeBy.Expired()) platform::SleepFor(kGuardPollInterval);
  return true;
}

// The first look: an upgrader already listening takes the URL, and nothing
// needs starting. False when the start must go on: none listens, the one
// seen went away under the hand-over, or it was closing and has gone.
bool HandToRunningUpgrader(const std::string& url, const platform::Deadline& deadline,
                           const std::string& limitText, StartResult* result) {
  std::string why;
  if (!backend::UpgraderReady(&why)) return false;
  bool vanished = false;
  StartResult handed = HandOver(url, deadline, *result, &vanished);
  if (vanished) return false;
  if (handed.reply != platform::kReplyClosing) {
    *result = std::move(handed);
    return true;
  }
  return !AwaitClosed(deadline, limitText, result);
}

// StartUpgrade with the caller's guard already given up.
StartResult StartReleased(const std::string& url, const StartOptions& options) {
  const milliseconds limit = options.limit.count() > 0 ? options.limit : kDefaultStartLimit;
  const platform::Deadline deadline = platform::Deadline::After(limit);
  const std::string limitText = backend::LimitText(limit);
  StartResult result;
  result.requestId = options.requestId != 0 ? options.requestId : MakeRequestId();
  std::string why = backend::OversizeReason(url.size());
  if (!why.empty()) return Ended(std::move(result), Status::kRefused, why);
  if (HandToRunningUpgrader(url, deadline, limitText, &result)) return result;
  if (backend::GuardHeld()) {
    return Ended(std::move(result), Status::kGuardHeld,
                 std::string("the single-instance guard \"") + platform::kSingletonGuardName +
                     "\" is held (by this process or another): release it before starting "
                     "the upgrade");
  }
  std::string path = options.upgraderPath;
  if (path.empty()) path = backend::DefaultUpgraderPath(&why);
  if (path.empty()) return Ended(std::move(result), Status::kNotStarted, why);
  if (backend::PassesRequestOnCommandLine()) {
    return StartWithRequest(url, path, deadline, limitText, std::move(result));
  }
  return StartAndHandOver(url, path, deadline, limitText, std::move(result));
}

}  // namespace

StartResult StartUpgrade(const std::string& url, const StartOptions& options) {
  if (options.guard != nullptr) options.guard->Release();
  StartResult result = StartReleased(url, options);
  if (options.guard == nullptr || result.status == Status::kTaken) return result;
  // Not taken: the caller runs on, as it did before, with its guard.
  std::string why;
  if (options.guard->Take(&why) != ClientGuard::Status::kTaken) {
    result.reason += "; the guard could not be taken back: " + why;
  }
  return result;
}

}  // namespace brisvane
