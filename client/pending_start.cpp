// StartUpgradeAsync and its C functions: StartUpgrade run on a thread of
// the library's (platform::RunDetached), its end a platform::Completion.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include "background_call.h"
#include "brisvane/upgrade_client.h"
#include "start_c.h"

namespace brisvane {

struct PendingStart::State {
  platform::Completion done;
  StartResult result;  // written once, before `done` is signalled
};

// Runs `run` on a thread of its own, then `onDone`, then marks the state
// done: a caller whose Wait returned true may free what the callback used.
static std::shared_ptr<PendingStart::State> Launch(std::function<StartResult()> run,
                                            std::function<void(const StartResult&)> onDone) {
  auto state = std::make_shared<PendingStart::State>();
  auto work = [state, run = std::move(run), onDone = std::move(onDone)] {
    try {
      state->result = run();
    } catch (...) {
      // StartUpgrade throws only when memory ran out: said without more of it.
      state->result = StartResult();
    }
    if (onDone) {
      try {
        onDone(state->result);
      } catch (...) {
        // The caller's exception has nowhere to go on this thread.
      }
    }
    state->done.Signal();
  };
  if (!platform::RunDetached(std::move(work))) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                            "no thread could be made for the start");
  }
  return state;
}

PendingStart::PendingStart() = default;
PendingStart::~PendingStart() = default;
PendingStart::PendingStart(PendingStart&& other) noexcept = default;
PendingStart& PendingStart::operator=(PendingStart&& other) noexcept = default;

bool PendingStart::Wait(std::chrono::milliseconds limit) {
  return state_ != nullptr && state_->done.Wait(limit);
}

StartResult PendingStart::Result() const {
  if (state_ != nullptr && state_->done.Wait(std::chrono::milliseconds(0))) return state_->result;
  StartResult result;
  result.reason = state_ == nullptr ? "no start was made" : "the start has not ended yet";
  return result;
}

PendingStart StartUpgradeAsync(const std::string& url, const StartOptions& options,
                               std::function<void(const StartResult&)> onDone) {
  PendingStart pending;
  pending.state_ = Launch([url, options] { return StartUpgrade(url, options); }, std::move(onDone));
  return pending;
}

}  // namespace brisvane

struct brisvane_pending_start {
  std::shared_ptr<brisvane::PendingStart::State> state;
};

extern "C" brisvane_pending_start* brisvane_start_upgrade_async(
    const char* url, const struct brisvane_start_options* options,
    brisvane_start_callback callback, void* context) {
  try {
    std::function<void(const brisvane::StartResult&)> onDone;
    if (callback != nullptr) {
      onDone = [callback, context](const brisvane::StartResult& result) {
        brisvane_start_result given;
        brisvane::c_start::Result(result, &given);
        callback(&given, context);
      };
    }
    std::function<brisvane::StartResult()> run;
    if (url == nullptr) {
      // Told as every other end is, through the callback and the handle.
      run = [] {
        brisvane::StartResult result;
        result.reason = "no URL given";
        return result;
      };
    } else {
      run = [url = std::string(url), options = brisvane::c_start::Options(options)] {
        return brisvane::StartUpgrade(url, options);
      };
    }
    auto handle = std::make_unique<brisvane_pending_start>();
    handle->state = brisvane::Launch(std::move(run), std::move(onDone));
    return handle.release();
  } catch (...) {
    return nullptr;
  }
}

extern "C" int brisvane_pending_start_wait(brisvane_pending_start* pending, int timeout_ms,
                                           struct brisvane_start_result* result) {
  if (pending == nullptr || !pending->state->done.Wait(std::chrono::milliseconds(timeout_ms))) {
    return 0;
  }
  if (result != nullptr) brisvane::c_start::Result(pending->state->result, result);
  return 1;
}

extern "C" void brisvane_pending_start_free(brisvane_pending_start* pending) { delete pending; }
