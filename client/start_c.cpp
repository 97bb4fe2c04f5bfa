// The blocking start's C functions, and the conversions the asynchronous
// one shares with them.
#include "start_c.h"

#include <chrono>
#include <cstring>
#include <string>

#include "c_buffers.h"

namespace brisvane::c_start {

StartOptions Options(const brisvane_start_options* options) {
  StartOptions made;
  if (options == nullptr) return made;
  if (options->upgrader_path != nullptr) made.upgraderPath = options->upgrader_path;
  made.requestId = options->request_id;
  made.limit = std::chrono::milliseconds(options->timeout_ms);
  made.guard = options->guard != nullptr ? &options->guard->guard : nullptr;
  return made;
}

void Result(const StartResult& result, brisvane_start_result* out) {
  out->status = static_cast<int>(result.status);
  out->request_id = result.requestId;
  out->reply = result.reply;
  out->started = result.started ? 1 : 0;
  c_buffers::CopyText(result.reason, out->reason, sizeof out->reason);
}

void Failed(const char* reason, brisvane_start_result* out) {
  std::memset(out, 0, sizeof *out);
  out->status = BRISVANE_START_FAILED;
  out->reply = -1;
  c_buffers::CopyText(reason, out->reason, sizeof out->reason);
}

}  // namespace brisvane::c_start

extern "C" int brisvane_start_upgrade_with(const char* url,
                                           const struct brisvane_start_options* options,
                                           struct brisvane_start_result* result) {
  if (result == nullptr) return BRISVANE_START_FAILED;
  try {
    if (url == nullptr) {
      brisvane::c_start::Failed("no URL given", result);
      return result->status;
    }
    brisvane::c_start::Result(brisvane::StartUpgrade(url, brisvane::c_start::Options(options)),
                              result);
  } catch (...) {
    brisvane::c_start::Failed("", result);
    brisvane::c_buffers::CopyExceptionReason(result->reason, sizeof result->reason);
  }
  return result->status;
}

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
