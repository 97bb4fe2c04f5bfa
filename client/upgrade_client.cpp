// The parts of the client library both systems share: limits and their
// wording, the size check, the wait loop and the C functions.
#include "brisvane/upgrade_client.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <thread>
#include <utility>

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

// Copies `text` into the caller's buffer of `size` bytes: cut to fit, never
// inside a UTF-8 sequence, always NUL-terminated. Nothing without a buffer.
void CopyReason(const char* text, std::size_t textLength, char* out, std::size_t size) {
  if (out == nullptr || size == 0) return;
  std::size_t length = std::min(textLength, size - 1);
  if (length < textLength) {
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(out, text, length);
  out[length] = '\0';
}
void CopyReason(const std::string& text, char* out, std::size_t size) {
  CopyReason(text.data(), text.size(), out, size);
}
void CopyReason(const char* text, char* out, std::size_t size) {
  CopyReason(text, std::strlen(text), out, size);
}

// What an exception escaping the C++ side says to a C caller.
std::string ExceptionText() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unexpected failure";
  }
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

// Reports the exception being handled to a C caller; allocates nothing when
// memory is what ran out.
void CopyExceptionReason(char* reason, std::size_t reasonSize) {
  try {
    brisvane::CopyReason(brisvane::ExceptionText(), reason, reasonSize);
  } catch (...) {
    brisvane::CopyReason("out of memory", reason, reasonSize);
  }
}

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
      brisvane::CopyReason("no URL given", reason, reason_size);
      return BRISVANE_FAILED;
    }
    const brisvane::HandOverResult result =
        brisvane::HandOverUpgrade(url, std::chrono::milliseconds(timeout_ms));
    brisvane::CopyReason(result.reason, reason, reason_size);
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
    brisvane::CopyReason(why, reason, reason_size);
    return ready ? 1 : 0;
  } catch (...) {
    CopyExceptionReason(reason, reason_size);
    return 0;
  }
}
