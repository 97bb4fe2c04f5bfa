// Windows: the single-instance guard is a named mutex.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>

#include <cstdint>
#include <string>

#include "guard.h"
#include "last_error.h"
#include "text_win.h"

namespace brisvane::platform {

namespace {

// How often, and how far apart, a guard found existing is made again.
constexpr int kCreateTries = 10;
constexpr DWORD kCreateRetryMilliseconds = 5;

// Makes the named mutex, unowned; a valid handle with `*exists` set when it
// existed after every try, nullptr (GetLastError set) when it could not be
// made or opened. A client looking whether the guard is held opens it for
// an instant; a few more tries keep that look from passing for a holder.
HANDLE MakeMutex(const std::wstring& name, bool* exists) {
  for (int tried = 1;; ++tried) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    *exists = mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
    if (!*exists || tried == kCreateTries) return mutex;
    CloseHandle(mutex);
    Sleep(kCreateRetryMilliseconds);
  }
}

}  // namespace

Guard CreateSingletonGuard(const std::string& name, bool* alreadyExists) {
  bool exists = false;
  HANDLE mutex = MakeMutex(Widen(name), &exists);
  if (alreadyExists != nullptr) *alreadyExists = exists;
  return mutex == nullptr ? Guard() : Guard(reinterpret_cast<std::intptr_t>(mutex));
}

Guard TakeSingletonGuard(const std::string& name, GuardTaking* outcome, std::string* reason) {
  bool exists = false;
  // Held means "exists": the handle kept open is the hold, and nobody waits
  // to own the mutex, which a running upgrader never owns.
  HANDLE mutex = MakeMutex(Widen(name), &exists);
  if (mutex != nullptr && !exists) {
    *outcome = GuardTaking::kTaken;
    reason->clear();
    return Guard(reinterpret_cast<std::intptr_t>(mutex));
  }
  const DWORD error = mutex == nullptr ? GetLastError() : ERROR_ALREADY_EXISTS;
  if (mutex != nullptr) CloseHandle(mutex);
  // An elevated upgrader's mutex refuses a caller without raised rights,
  // but it is there.
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
    *outcome = GuardTaking::kHeldElsewhere;
    *reason = "the guard \"" + name + "\" is held by another process (a client or an upgrader)";
  } else {
    *outcome = GuardTaking::kFailed;
    *reason = "the guard \"" + name + "\" cannot be made: " + ErrorText(error);
  }
  return Guard();
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
