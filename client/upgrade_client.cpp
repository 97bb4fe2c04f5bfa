// The parts of the client library both systems share: limits and their
// wording, the size check, the wait loop and their C functions.
#include "brisvane/upgrade_client.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "background_call.h"
#include "c_buffers.h"
#include "deadline.h"
#include "request_protocol.h"
#include "upgrade_client_backend.h"

static_assert(BRISVANE_MAX_URL_BYTES == platform::kMaxRequestBytes,
              "the public size limit is the channel's");
static_assert(BRISVANE_REPLY_TAKEN == platform::kReplyTaken &&
                  BRISVANE_REPLY_BUSY == platform::kReplyBusy &&
                  BRISVANE_REPLY_EMPTY_URL == platform::kReplyEmptyUrl &&
                  BRISVANE_REPLY_UNSAFE_NAME == platform::kReplyUnsafeName &&
                  BRISVANE_REPLY_NUL_IN_URL == platform::kReplyNulInUrl &&
                  BRISVANE_REPLY_CLOSING == platform::kReplyClosing &&
                  BRISVANE_REPLY_NO_INSTALLER_NAME == platform::kReplyNoInstallerName,
              "the public replies are the upgrader's");

namespace brisvane {

namespace backend {

std::string LimitText(std::chrono::milliseconds limit) {
  if (limit.count() % 1000 == 0) return std::to_string(limit.count() / 1000) + " s";
  return std::to_string(limit.count()) + " ms";
}

std::string OversizeReason(std::size_t bytes) {
  if (bytes <= platform::kMaxRequestBytes) return std::string();
  return "request of " + std::to_string(bytes) + " bytes exceeds the limit of " +
         std::to_string(platform::kMaxRequestBytes);
}

}  // namespace backend

namespace {

using backend::LimitText;

using std::chrono::milliseconds;

// How often WaitForUpgrader looks again: short beside an upgrader's start.
constexpr milliseconds kReadyPollInterval{50};

HandOverResult Failed(std::string reason) {
  HandOverResult result;
  result.status = HandOverResult::Status::kFailed;
  result.reason = std::move(reason);
  return result;
}

struct ReplyMeaning {
  std::int32_t reply;
  HandOverResult::Status status;
  const char* reason;
};

constexpr ReplyMeaning kReplyMeanings[] = {
    {BRISVANE_REPLY_TAKEN, HandOverResult::Status::kReplied, ""},
    {BRISVANE_REPLY_BUSY, HandOverResult::Status::kBusy,
     "another upgrade is under way: the upgrader ignored this request"},
    {BRISVANE_REPLY_CLOSING, HandOverResult::Status::kBusy,
     "the upgrader is closing and took nothing"},
    {BRISVANE_REPLY_EMPTY_URL, HandOverResult::Status::kRefused,
     "the upgrader refused the request: the URL is empty"},
    {BRISVANE_REPLY_UNSAFE_NAME, HandOverResult::Status::kRefused,
     "the upgrader refused the request: the installer's name would leave the download folder"},
    {BRISVANE_REPLY_NUL_IN_URL, HandOverResult::Status::kRefused,
     "the upgrader refused the request: the URL holds a NUL before its end"},
    {BRISVANE_REPLY_NO_INSTALLER_NAME, HandOverResult::Status::kRefused,
     "the upgrader refused the request: the URL names no installer file"},
};

// What a reply means, in the status and the reason of `*result`.
void ReadReply(HandOverResult* result) {
  for (const ReplyMeaning& meaning : kReplyMeanings) {
    if (meaning.reply != result->reply) continue;
    result->status = meaning.status;
    result->reason = meaning.reason;
    return;
  }
  result->status = HandOverResult::Status::kRefused;
  result->reason = "the upgrader refused the request (reply " + std::to_string(result->reply) + ")";
}

}  // namespace

HandOverResult backend::Exchange(const Request& request, const Limit& limit, bool* vanished) {
  HandOverResult result = Send(request, limit, vanished);
  if (result.status == HandOverResult::Status::kReplied) ReadReply(&result);
  return result;
}

HandOverResult HandOverUpgrade(const std::string& url, milliseconds limit, std::uint64_t requestId) {
  if (limit.count() <= 0) limit = kDefaultHandOverLimit;
  std::string oversize = backend::OversizeReason(url.size());
  if (!oversize.empty()) return Failed(std::move(oversize));
  return backend::Exchange(backend::Request{url, requestId, false},
                           backend::Limit{platform::Deadline::After(limit), LimitText(limit)});
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
    platform::SleepFor(left < 0 ? kReadyPollInterval
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
    case brisvane::HandOverResult::Status::kBusy: return BRISVANE_BUSY;
    case brisvane::HandOverResult::Status::kRefused: return BRISVANE_REFUSED;
    case brisvane::HandOverResult::Status::kFailed: break;
  }
  return BRISVANE_FAILED;
}

bool Replied(brisvane::HandOverResult::Status status) {
  using Status = brisvane::HandOverResult::Status;
  return status == Status::kReplied || status == Status::kBusy || status == Status::kRefused;
}

}  // namespace

extern "C" int brisvane_hand_over_upgrade(const char* url, int timeout_ms, int32_t* reply,
                                          char* reason, size_t reason_size) {
  return brisvane_hand_over_upgrade_with_id(url, 0, timeout_ms, reply, reason, reason_size);
}

extern "C" int brisvane_hand_over_upgrade_with_id(const char* url, uint64_t request_id,
                                                  int timeout_ms, int32_t* reply, char* reason,
                                                  size_t reason_size) {
  try {
    if (url == nullptr) {
      CopyText("no URL given", reason, reason_size);
      return BRISVANE_FAILED;
    }
    const brisvane::HandOverResult result =
        brisvane::HandOverUpgrade(url, std::chrono::milliseconds(timeout_ms), request_id);
    CopyText(result.reason, reason, reason_size);
    if (Replied(result.status) && reply != nullptr) *reply = result.reply;
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
