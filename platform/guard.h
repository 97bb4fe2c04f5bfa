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

  // Gives the guard up now (ReleaseMutex + CloseHandle, or closing the
  // descriptor); later calls do nothing.
  void Release();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t native_ = kNone;
};

// Creates (or opens) the named system-wide guard object; an empty Guard on
// failure. `alreadyExists` is set true only when the guard is valid and
// another live process holds it.
// Windows: CreateMutexW + ERROR_ALREADY_EXISTS. Linux: flock on a file of that
// name in RuntimeDir(); the lock is taken when free and held until release.
Guard CreateSingletonGuard(const std::string& name, bool* alreadyExists);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
