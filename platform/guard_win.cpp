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

Guard CreateSingletonGuard(const std::string& name, bool* alreadyExists) {
  const std::wstring wide = Widen(name);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, wide.c_str());
  const DWORD error = GetLastError();
  if (alreadyExists != nullptr) {
    *alreadyExists = mutex != nullptr && error == ERROR_ALREADY_EXISTS;
  }
  if (mutex == nullptr) return Guard();
  return Guard(reinterpret_cast<std::intptr_t>(mutex));
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
