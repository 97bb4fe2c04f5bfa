// Threads as the client library uses them: a call run on a thread of its
// own, a one-shot completion to wait on, a pause. background_call_posix.cpp
// / background_call_win.cpp, chosen by CMake. The Windows back end uses the
// system's threads and events alone, so that the library links with either
// MinGW thread model.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace brisvane::platform {

// Runs `work` on a new thread that nobody joins. False when no thread could
// be made: `work` did not run then. `work` must not throw.
bool RunDetached(std::function<void()> work);

// Pauses the calling thread for `duration` (nothing when not positive).
void SleepFor(std::chrono::milliseconds duration);

// Signalled once, waited on by any number of threads. What the signalling
// thread wrote before Signal() is seen by a thread whose Wait returned true.
class Completion {
 public:
  Completion();
  ~Completion();
  Completion(const Completion&) = delete;
  Completion& operator=(const Completion&) = delete;

  // False when the system gave no event (Windows, out of resources): then
  // Wait only ever sees a Signal through polling.
  bool valid() const;
  // Marks it done and wakes every waiter; later calls do nothing.
  void Signal();
  // True once signalled, waiting up to `limit` (one look when not
  // positive).
  bool Wait(std::chrono::milliseconds limit);

 private:
  struct Native;
  Native* native_;
};

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
