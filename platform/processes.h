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
#include <string>

namespace platform {

// Handle of a started process to wait on; kNoProcess when none.
using ProcessHandle = std::intptr_t;
constexpr ProcessHandle kNoProcess = -1;

// Results of WaitForProcess, matching WaitForSingleObject.
constexpr std::uint32_t kWaitEnded = 0;
constexpr std::uint32_t kWaitTimeout = 258;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;

// Runs the installer hidden with the single argument "/verysilent".
// Returns 1 on success, 0 on failure (LastErrorCode tells why); `process`
// receives a handle to wait on, or kNoProcess. Linux: the file is made
// executable for its owner first, through a descriptor that does not follow
// links; anything but a regular file with a single name is refused. stdio on
// /dev/null.
int LaunchInstaller(const std::string& path, ProcessHandle* process);

// Runs the post-install script hidden. `quotedPath` is the script path inside
// double quotes (as the shell expects it on Windows). Linux: /bin/sh <path>.
int LaunchScript(const std::string& quotedPath, ProcessHandle* process);

// Starts the client in a normal window, not waited on (Linux: new session, so
// it outlives the upgrader). Returns 1 or 0.
int LaunchClient(const std::string& path);

// Waits at most `timeoutMs` for the process to end: kWaitEnded, kWaitTimeout
// or kWaitFailed (LastErrorCode tells why). Reaps it when it ended.
std::uint32_t WaitForProcess(ProcessHandle process, std::uint32_t timeoutMs);

// Closes the handle; the process itself keeps running.
void CloseProcess(ProcessHandle process);

}  // namespace platform
