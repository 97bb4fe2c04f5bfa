// The parts of the client library both systems share: limits and their
// wording, the size check, the wait loop and their C functions.
#include "brisvane/upgrade_client.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "c_buffers.h"
#include "deadline.h"
#include "request_protocol.h"
#include "upgrade_client_backend.h"

static_assert(BRISVANE_MAX_URL_BYTES == platform::kMaxRequestBytes,
              "the public size limit is the channel's");

namespace brisvane {

namespace {

using std::chrono::milliseconds;

// How often WaitForUpgrader looks again: short beside an upgrader's start.
constexpr milliseconds kReadyPollInterval{50};

// "30 s" for whole seconds, "1500 ms" otherwise.
std::string LimitText(milliseconds limit) {
  if (limit.count() % 1000 == 0) return std::to_string(limit.count() / 1000) + " s";
  return std::to_string(limit.count()) + " ms";
}

HandOverResult Failed(std::string reason) {
  HandOverResult result;
  result.status = HandOverResult::Status::kFailed;
  result.reason = std::move(reason);
  return result;
}

}  // namespace

HandOverResult HandOverUpgrade(const std::string& url, milliseconds limit) {
  if (limit.count() <= 0) limit = kDefaultHandOverLimit;
  if (url.size() > platform::kMaxRequestBytes) {
    return Failed("request of " + std::to_string(url.size()) + " bytes exceeds the limit of " +
                  std::to_string(platform::kMaxRequestBytes));
  }
  return backend::Send(url, backend::Limit{platform::Deadline::After(limit), LimitText(limit)});
}

bool WaitForUpgrader(milliseconds limit, std::string* reason) {
  const platform::Deadline deadline = platform::Deadline::After(limit);
  std::string why;
  for (;;) {
    if (backend::UpgraderReady(&why)) {
      if (reason != nullptr) reason->clear();
      return true;
    }
    const int left = deadline.MillisecondsLeft();
    if (left == 0) break;
    std::this_thread::sleep_for(left < 0 ? kReadyPollInterval
                                         : std::min(kReadyPollInterval, milliseconds(left)));
  }
  if (reason != nullptr) {
    *reason = why + (limit.count() > 0 ? " (waited " + LimitText(limit) + ")" : "");
  }
  return false;
}

}  // namespace brisvane

namespace {

using brisvane::c_buffers::CopyExceptionReason;
using brisvane::c_buffers::CopyText;

int StatusCode(brisvane::HandOverResult::Status status) {
  switch (status) {
    case brisvane::HandOverResult::Status::kReplied: return BRISVANE_REPLIED;
    case brisvane::HandOverResult::Status::kNoUpgrader: return BRISVANE_NO_UPGRADER;
    case brisvane::HandOverResult::Status::kFailed: break;
  }
  return BRISVANE_FAILED;
}

}  // namespace

extern "C" int brisvane_hand_over_upgrade(const char* url, int timeout_ms, int32_t* reply,
                                          char* reason, size_t reason_size) {
  try {
    if (url == nullptr) {
      CopyText("no URL given", reason, reason_size);
      return BRISVANE_FAILED;
    }
    const brisvane::HandOverResult result =
        brisvane::HandOverUpgrade(url, std::chrono::milliseconds(timeout_ms));
    CopyText(result.reason, reason, reason_size);
    if (result.status == brisvane::HandOverResult::Status::kReplied && reply != nullptr) {
      *reply = result.reply;
    }
    return StatusCode(result.status);
  } catch (...) {
    CopyExceptionReason(reason, reason_size);
    return BRISVANE_FAILED;
  }
}

extern "C" int brisvane_wait_for_upgrader(int timeout_ms, char* reason, size_t reason_size) {
  try {
    std::string why;
    const bool ready = brisvane::WaitForUpgrader(std::chrono::milliseconds(timeout_ms), &why);
    CopyText(why, reason, reason_size);
    return ready ? 1 : 0;
  } catch (...) {
    CopyExceptionReason(reason, reason_size);
    return 0;
  }
}
