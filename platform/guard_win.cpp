// Windows: the single-instance guard is a named mutex.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>

#include <string>

#include "guard.h"
#include "text_win.h"

namespace platform {

GuardHandle CreateSingletonGuard(const std::string& name, bool* alreadyExists) {
  const std::wstring wide = Widen(name);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, wide.c_str());
  const DWORD error = GetLastError();
  if (alreadyExists != nullptr) {
    *alreadyExists = mutex != nullptr && error == ERROR_ALREADY_EXISTS;
  }
  if (mutex == nullptr) return kNoGuard;
  return reinterpret_cast<GuardHandle>(mutex);
}

void ReleaseSingletonGuard(GuardHandle handle) {
  if (handle == kNoGuard) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(handle);
  // The guard was created unowned, so this usually fails; that is harmless.
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

}  // namespace platform
