// Linux: the C++ thread library, which glibc carries itself.
#include "background_call.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace brisvane::platform {

bool RunDetached(std::function<void()> work) {
  try {
    std::thread(std::move(work)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void SleepFor(std::chrono::milliseconds duration) {
  if (duration.count() > 0) std::this_thread::sleep_for(duration);
}

struct Completion::Native {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
};

Completion::Completion() : native_(new Native) {}

Completion::~Completion() { delete native_; }

bool Completion::valid() const { return true; }

void Completion::Signal() {
  {
    const std::lock_guard<std::mutex> lock(native_->mutex);
    native_->done = true;
  }
  native_->changed.notify_all();
}

bool Completion::Wait(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(native_->mutex);
  if (limit.count() <= 0) return native_->done;
  return native_->changed.wait_for(lock, limit, [this] { return native_->done; });
}

}  // namespace brisvane::platform
