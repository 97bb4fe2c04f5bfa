// Single-instance guard ("bvc singleton mutex"); guard_win.cpp /
// guard_posix.cpp, chosen by CMake. The handle is not inheritable /
// close-on-exec.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Opaque handle of the guard; kNoGuard when there is none.
using GuardHandle = std::intptr_t;
constexpr GuardHandle kNoGuard = -1;

// Creates (or opens) the named system-wide guard object. `alreadyExists` is
// set true only when the handle is valid and another live process holds it.
// Windows: CreateMutexW + ERROR_ALREADY_EXISTS. Linux: flock on a file of that
// name in RuntimeDir(); the lock is taken when free and held until release.
GuardHandle CreateSingletonGuard(const std::string& name, bool* alreadyExists);

// Gives the guard up: ReleaseMutex + CloseHandle, or closing the descriptor.
void ReleaseSingletonGuard(GuardHandle handle);

}  // namespace platform
