// Starting the installer, the script and the client, and waiting for them;
// processes_posix.cpp / processes_win.cpp, chosen by CMake. (Not "process.h":
// MinGW's own <process.h> is included by its pthread.h and unistd.h, and this
// folder is on the include path.) Paths are UTF-8; nothing of ours is
// inherited by a started process.
//
// Elevation: Windows "runas"; Linux inherits the privileges the upgrader was
// started with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "folder.h"
#include "held_file.h"

namespace brisvane::platform {

// Owns the handle of a started process, as std::unique_ptr owns its object:
// destroying the owner (or Close()) closes the handle; the process itself
// keeps running. Linux: an ended process is reaped then, a running one by a
// background thread once it ends. Move-only.
class Process {
 public:
  Process() = default;
  // Takes over `native`, the back end's handle (a HANDLE on Windows, a pidfd
  // on Linux).
  explicit Process(std::intptr_t native) : native_(native) {}
  ~Process() { Close(); }
  Process(Process&& other) noexcept : native_(other.native_) { other.native_ = kNone; }
  Process& operator=(Process&& other) noexcept {
    if (this != &other) {
      Close();
      native_ = other.native_;
      other.native_ = kNone;
    }
    return *this;
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool valid() const { return native_ != kNone; }
  explicit operator bool() const { return valid(); }
  // The back end's handle, still owned here.
  std::intptr_t native() const { return native_; }

  // Closes the handle now; later calls do nothing. Keeps the last error.
  void Close();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t native_ = kNone;
};

// Results of WaitForProcess, matching WaitForSingleObject.
constexpr std::uint32_t kWaitEnded = 0;
constexpr std::uint32_t kWaitTimeout = 258;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;

// Runs the installer hidden with the single argument "/verysilent".
// Returns 1 on success, 0 on failure (LastErrorCode tells why); `process`
// receives the process to wait on, or stays empty. Linux: the file is made
// executable for its owner first, through a descriptor that does not follow
// links; anything but a regular file with a single name is refused. stdio on
// /dev/null.
int LaunchInstaller(const std::string& path, Process* process);

// Runs the installer as LaunchInstaller does, but the very file `file` holds
// (created by the upgrader and sealed, or opened before it was checked),
// whatever any name of it names by now. The caller keeps `file` open until
// the installer has exited. Linux: started from the descriptor
// (/proc/self/fd/3 in the child), `path` being what it sees as argv[0]; a
// "#!" script's interpreter is handed "/proc/self/fd/3" as the script, which
// it reads through that inherited, read-only descriptor. Windows: the shell
// is given the path resolved from the handle (GetFinalPathNameByHandleW), not
// `path`; the file and the folders on that path must be held against renames
// by the caller (Folder) so that the shell finds this very file there.
// `workingFolder`, when given, is the installer's working folder (Linux:
// entered through its descriptor; Windows: by the path its handle resolves
// to); else it inherits the upgrader's. Linux: the file is flocked first,
// and the installer inherits the lock with the descriptor, so that
// Folder::RemoveLeftoverPrivate leaves its folder alone while it runs.
int LaunchHeldInstaller(const HeldFile& file, const std::string& path, Process* process,
                        const Folder* workingFolder = nullptr);

// Runs the post-install script at `path` hidden. Windows: the shell is given
// the path in double quotes. Linux: /bin/sh <path>.
int LaunchScript(const std::string& path, Process* process);

// Starts the client in a normal window, not waited on (Linux: new session, so
// it outlives the upgrader). Returns 1 or 0.
int LaunchClient(const std::string& path);

// Waits at most `timeoutMs` for the process to end: kWaitEnded, kWaitTimeout
// or kWaitFailed (LastErrorCode tells why). Reaps it when it ended.
// `exitCode`, when given, receives the code the process exited with when the
// result is kWaitEnded (Windows: GetExitCodeProcess; Linux: its exit status),
// and is emptied otherwise and when there is none (Linux: a process ended by
// a signal, or reaped by someone else).
std::uint32_t WaitForProcess(const Process& process, std::uint32_t timeoutMs,
                             std::optional<std::uint32_t>* exitCode = nullptr);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
