// Single-instance guard ("bvc singleton mutex"); guard_win.cpp /
// guard_posix.cpp, chosen by CMake. The handle is not inheritable /
// close-on-exec.
#pragma once

#include <cstdint>
#include <string>

namespace brisvane::platform {

// Owns the guard's handle, as std::unique_ptr owns its object: the guard is
// given up when the owner is destroyed or Release() runs. Move-only.
class Guard {
 public:
  static constexpr std::intptr_t kNone = -1;  // no handle
  Guard() = default;
  // Takes over `native`, the back end's handle (a HANDLE on Windows, a
  // descriptor on Linux).
  explicit Guard(std::intptr_t native) : native_(native) {}
  ~Guard() { Release(); }
  Guard(Guard&& other) noexcept : native_(other.native_) { other.native_ = kNone; }
  Guard& operator=(Guard&& other) noexcept {
    if (this != &other) {
      Release();
      native_ = other.native_;
      other.native_ = kNone;
    }
    return *this;
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

  bool valid() const { return native_ != kNone; }
  explicit operator bool() const { return valid(); }

  // Hands the handle to the caller, who owns it from then on; kNone when
  // there is none. Undone by Guard(native).
  std::intptr_t Detach() {
    const std::intptr_t native = native_;
    native_ = kNone;
    return native;
  }

  // Gives the guard up now (ReleaseMutex + CloseHandle, or closing the
  // descriptor); later calls do nothing.
  void Release();

 private:
  std::intptr_t native_ = kNone;
};

// Creates (or opens) the named system-wide guard object; an empty Guard on
// failure. `alreadyExists` is set true only when the guard is valid and
// another live process holds it.
// Windows: CreateMutexW + ERROR_ALREADY_EXISTS. Linux: flock on a file of that
// name in RuntimeDir(); the lock is taken when free and held until release.
// A file this call creates gets mode 0644, so that a root upgrader's file
// stays lockable by its user's client; an existing file keeps its mode.
Guard CreateSingletonGuard(const std::string& name, bool* alreadyExists);

// How TakeSingletonGuard went.
enum class GuardTaking { kTaken, kHeldElsewhere, kFailed };

// Takes the guard as a client holds it while it runs: the Guard returned
// holds it when `*outcome` is kTaken and is empty otherwise; `*reason` says
// why in one line. Windows: the named mutex is made and its handle kept
// open, never waited on, since "held" means that it exists; one that
// exists, or that refuses us (an elevated holder's), is held elsewhere.
// Linux: the flock of CreateSingletonGuard; held elsewhere when another
// descriptor holds it. A missing runtime folder or a failed open or lock
// is kFailed.
Guard TakeSingletonGuard(const std::string& name, GuardTaking* outcome, std::string* reason);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
