// Windows: the system's threads and a manual-reset event. Nothing here may
// come from the C++ thread library, which the posix MinGW model builds on
// winpthreads: a consumer built with the win32 model has no such library.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>
#include <process.h>

#include <atomic>
#include <climits>
#include <new>
#include <utility>

#include "background_call.h"

namespace brisvane::platform {

namespace {

unsigned __stdcall RunWork(void* context) {
  // Owned by this thread from here on.
  std::function<void()>* work = static_cast<std::function<void()>*>(context);
  (*work)();
  delete work;
  return 0;
}

DWORD WaitMilliseconds(std::chrono::milliseconds limit) {
  if (limit.count() <= 0) return 0;
  // INFINITE is a value of its own: a limit that long is "a very long time".
  return limit.count() >= static_cast<long long>(INFINITE) ? INFINITE - 1
                                                           : static_cast<DWORD>(limit.count());
}

}  // namespace

bool RunDetached(std::function<void()> work) {
  auto* owned = new std::function<void()>(std::move(work));
  // _beginthreadex, not CreateThread: the thread uses the C runtime.
  const uintptr_t thread = _beginthreadex(nullptr, 0, RunWork, owned, 0, nullptr);
  if (thread == 0) {
    delete owned;
    return false;
  }
  CloseHandle(reinterpret_cast<HANDLE>(thread));
  return true;
}

void SleepFor(std::chrono::milliseconds duration) {
  if (duration.count() > 0) Sleep(WaitMilliseconds(duration));
}

struct Completion::Native {
  HANDLE event = nullptr;
  std::atomic<bool> done{false};
};

Completion::Completion() : native_(new Native) {
  native_->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

Completion::~Completion() {
  if (native_->event != nullptr) CloseHandle(native_->event);
  delete native_;
}

bool Completion::valid() const { return native_->event != nullptr; }

void Completion::Signal() {
  native_->done.store(true, std::memory_order_release);
  if (native_->event != nullptr) SetEvent(native_->event);
}

bool Completion::Wait(std::chrono::milliseconds limit) {
  if (native_->done.load(std::memory_order_acquire)) return true;
  if (native_->event != nullptr) {
    WaitForSingleObject(native_->event, WaitMilliseconds(limit));
    return native_->done.load(std::memory_order_acquire);
  }
  // No event: look every few milliseconds.
  const ULONGLONG end = GetTickCount64() + WaitMilliseconds(limit);
  while (!native_->done.load(std::memory_order_acquire) && GetTickCount64() < end) Sleep(5);
  return native_->done.load(std::memory_order_acquire);
}

}  // namespace brisvane::platform
