// The operating-system layer: everything that differs between Windows and
// Linux lives behind this header, in platform_win.cpp / platform_posix.cpp
// (plus the request channel in channel_*.cpp), chosen by CMake.
//
// Strings are UTF-8 at this interface; the Windows back end widens them.
// Every descriptor or handle opened here is close-on-exec / not inheritable.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// ---------------------------------------------------------------------------
// Single-instance guard ("bvc singleton mutex").

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

// The per-login runtime folder holding the guard and the request channel
// (Linux: $XDG_RUNTIME_DIR, /run/user/<login uid>, /tmp/brisvane-<euid>).
// Empty on failure. Windows: unused, returns an empty string.
std::string RuntimeDir();

// ---------------------------------------------------------------------------
// Errors.

// The calling thread's last system error (GetLastError, or errno).
unsigned long LastErrorCode();

// ---------------------------------------------------------------------------
// Log file.

// Opens `utf8Path` for appending in text mode, shutting other writers out and
// letting readers in. Null when it cannot be opened or another writer holds
// it, and when a link (symbolic link, junction) stands at the path, as its
// folder or as the folder holding that one, or the file has other names (hard
// links): those folders may belong to a less-privileged user, and the log
// must never be written elsewhere.
FILE* OpenSharedLogFile(const std::string& utf8Path);

// ---------------------------------------------------------------------------
// Launching processes (elevation: Windows "runas"; Linux inherits the
// privileges the upgrader was started with).

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

// ---------------------------------------------------------------------------
// The upgrade request.

// Windows: if `nativeMessage` (a MSG*) is WM_COPYDATA, copies exactly cbData
// bytes of its payload into `payload` (empty when it carries no data) and
// returns true. Linux: always false.
bool TakeCopyDataPayload(void* nativeMessage, std::string* payload);

// Largest request payload the channel accepts.
constexpr std::uint32_t kMaxRequestBytes = 65536;

// Serves upgrade requests on Linux: the Unix socket "BrisvaneUpgrade" in
// RuntimeDir(), length-prefixed frames, peers of the same uid or root only.
// On Windows requests arrive as WM_COPYDATA and Start() does nothing.
class RequestServer {
 public:
  // Called on the server's own thread with each complete payload; its result
  // is sent back as the reply. Must not block for long.
  using Handler = std::function<std::int32_t(const std::string& payload)>;
  // Called on the server's thread with a line to log (peer refused, ...).
  using ErrorReporter = std::function<void(const std::string& message)>;

  RequestServer(Handler handler, ErrorReporter reportError);
  ~RequestServer();  // stops and joins the thread, removes nothing else
  RequestServer(const RequestServer&) = delete;
  RequestServer& operator=(const RequestServer&) = delete;

  // Binds and starts serving; replaces a stale socket file. Call only while
  // holding the single-instance guard. Returns false (and reports) on failure.
  bool Start();
  // Stops serving and joins the thread; idempotent.
  void Stop();

  // Time a connection may take to deliver its whole frame (default 5000 ms).
  void SetFrameTimeoutMs(int ms);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Outcome of sending a request as a client.
enum class SendResult { kReplied, kNoUpgrader, kFailed };

// Sends `payload` to a running upgrader and waits for its reply
// (Windows: WM_COPYDATA to a top-level window titled "BrisvaneUpgrade" whose
// process runs an executable named BrisvaneUpgrade.exe; other windows of
// that title are passed over).
// On kFailed / kNoUpgrader `error` holds a one-line reason.
SendResult SendUpgradeRequest(const std::string& payload, std::int32_t* reply,
                              std::string* error);

// ---------------------------------------------------------------------------
// Process signals.

// Routes SIGTERM and SIGINT to a descriptor that becomes readable when one
// arrives, so the event loop can close the window as Escape does. Returns -1
// where the platform has no such signals (Windows). Call once, early.
int WatchTerminationSignals();

// Empties that descriptor after it became readable.
void DrainTerminationSignals();

// Makes a write to a closed socket fail with EPIPE instead of ending the
// process. No-op on Windows.
void IgnoreBrokenPipe();

// Restores the default handling of SIGCHLD: an ignored SIGCHLD inherited
// from the client would let the kernel reap the installer before the
// upgrader can wait for it. No-op on Windows.
void RestoreChildSignal();

}  // namespace platform
