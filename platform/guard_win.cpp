// Windows: the single-instance guard is a named mutex.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>

#include <cstdint>
#include <string>

#include "guard.h"
#include "text_win.h"

namespace brisvane::platform {

namespace {

// How often, and how far apart, a guard found existing is made again.
constexpr int kCreateTries = 10;
constexpr DWORD kCreateRetryMilliseconds = 5;

}  // namespace

Guard CreateSingletonGuard(const std::string& name, bool* alreadyExists) {
  const std::wstring wide = Widen(name);
  // A client looking whether the guard is held opens it for an instant; a
  // few more tries keep that look from passing for a running instance.
  for (int tried = 1;; ++tried) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, wide.c_str());
    const bool exists = mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
    if (!exists || tried == kCreateTries) {
      if (alreadyExists != nullptr) *alreadyExists = exists;
      return mutex == nullptr ? Guard() : Guard(reinterpret_cast<std::intptr_t>(mutex));
    }
    CloseHandle(mutex);
    Sleep(kCreateRetryMilliseconds);
  }
}

void Guard::Release() {
  if (native_ == kNone) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(native_);
  native_ = kNone;
  // The guard was created unowned, so this usually fails; that is harmless.
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

}  // namespace brisvane::platform
