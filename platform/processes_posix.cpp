// Linux: processes are started with posix_spawn and waited on through a
// pidfd.
#include "processes.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "deadline.h"
#include "files_posix.h"

extern char** environ;

namespace brisvane::platform {

namespace {

// Makes the downloaded installer executable for its owner, through a
// descriptor: its folder may belong to a less-privileged user, who could
// otherwise have a privileged upgrader change the mode of any file by
// planting a link or a second name. The download has been closed by now, so
// no writer can make the exec fail with ETXTBSY.
bool MakeOwnerExecutable(const std::string& path) {
  const int fd = OpenNoFollow(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  struct stat st;
  bool ours = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
  if (!ours) {
    close(fd);
    errno = EINVAL;
    return false;
  }
  // Failing to change the mode is left to the exec to report.
  fchmod(fd, 0700);
  close(fd);
  return true;
}

// ---------------------------------------------------------------------------
// Spawning.

// The number a held file gets in the child, and the name the child runs it
// by: the exec then reads the very file that was checked, whatever its path
// names by now.
constexpr int kHeldDescriptor = 3;
constexpr char kHeldPath[] = "/proc/self/fd/3";

// Where a launched process stands with respect to terminal and group signals.
enum class Detach {
  // Own process group: Ctrl-C in a terminal or a kill of the upgrader's group
  // must not stop an installer that has started.
  kGroup,
  // Own session: the client outlives the upgrader and its terminal.
  kSession,
};

// Owns the spawn attributes and file actions for one launch.
class SpawnSetup {
 public:
  // `keepFd`, when not -1, reaches the child as descriptor 3 (see
  // kHeldDescriptor); nothing else beyond stdio does.
  // `workingDir`, when not -1, is the folder the child starts in.
  explicit SpawnSetup(Detach detach, int keepFd = -1, int workingDir = -1) {
    ok_ = posix_spawnattr_init(&attr_) == 0;
    if (!ok_) return;
    attrInit_ = true;
    ok_ = posix_spawn_file_actions_init(&actions_) == 0;
    if (!ok_) return;
    actionsInit_ = true;

    // The child starts with a clean signal state: the upgrader ignores
    // SIGPIPE, and an ignored signal would otherwise survive the exec.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    flags |= detach == Detach::kSession ? POSIX_SPAWN_SETSID : POSIX_SPAWN_SETPGROUP;
    ok_ = posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
          posix_spawnattr_setpgroup(&attr_, 0) == 0 &&
          posix_spawnattr_setsigdefault(&attr_, &all) == 0 &&
          posix_spawnattr_setflags(&attr_, flags) == 0;
    if (!ok_) return;

    // Nothing of ours reaches the child: stdio on /dev/null and every other
    // descriptor closed, even one somebody opened without O_CLOEXEC.
    // The dup comes first, before stdio could take the number, and leaves the
    // copy without close-on-exec: a "#!" script's interpreter opens it by name.
    // The folder is entered first, before the close below takes its number.
    ok_ = (workingDir < 0 || posix_spawn_file_actions_addfchdir_np(&actions_, workingDir) == 0) &&
          (keepFd < 0 || posix_spawn_file_actions_adddup2(&actions_, keepFd, kHeldDescriptor) == 0) &&
          posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null",
                                           O_RDONLY, 0) == 0 &&
          posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null",
                                           O_WRONLY, 0) == 0 &&
          posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null",
                                           O_WRONLY, 0) == 0 &&
          posix_spawn_file_actions_addclosefrom_np(&actions_, keepFd < 0 ? 3 : kHeldDescriptor + 1) == 0;
  }
  ~SpawnSetup() {
    if (actionsInit_) posix_spawn_file_actions_destroy(&actions_);
    if (attrInit_) posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Starts `argv[0]` directly (no shell). Returns the error number, 0 on
  // success; glibc reports a failed exec (ENOENT, EACCES, ...) here too.
  // `file`, when given, is what runs instead of argv[0] (which the child
  // still sees as its name).
  int Spawn(const std::vector<std::string>& args, pid_t* pid, const char* file = nullptr) {
    if (!ok_) return ENOMEM;
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return posix_spawn(pid, file != nullptr ? file : argv[0], &actions_, &attr_, argv.data(), environ);
  }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
  bool attrInit_ = false;
  bool actionsInit_ = false;
  bool ok_ = false;
};

// A child nobody else waits on: its pid, or a pidfd that names it (which the
// reaper then owns and closes).
struct ReapTarget {
  idtype_t type;
  id_t id;
};

void* ReapChild(void* arg) {
  const std::unique_ptr<ReapTarget> target(static_cast<ReapTarget*>(arg));
  siginfo_t info;
  // A blocking waitid sleeps until the child ends, then reaps it.
  while (waitid(target->type, target->id, &info, WEXITED) < 0 && errno == EINTR) {
  }
  if (target->type == static_cast<idtype_t>(P_PIDFD)) close(static_cast<int>(target->id));
  return nullptr;
}

// Waits on a detached thread for a child nobody else waits on, so it leaves
// no zombie behind. Keeps errno.
void ReapInBackground(idtype_t type, id_t id) {
  const int saved = errno;
  ReapTarget* target = new (std::nothrow) ReapTarget{type, id};
  pthread_attr_t attr;
  bool started = false;
  if (target != nullptr && pthread_attr_init(&attr) == 0) {
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    pthread_t thread;
    started = pthread_create(&thread, &attr, ReapChild, target) == 0;
    pthread_attr_destroy(&attr);
  }
  if (!started) {
    // Nothing can wait for it: the child ends as a zombie, but the
    // descriptor at least does not leak.
    if (type == static_cast<idtype_t>(P_PIDFD)) close(static_cast<int>(id));
    delete target;
  }
  errno = saved;
}

// Spawns a process to be waited on and hands back a pidfd for it; with
// `keepFd`, the process runs that file (see SpawnSetup).
int SpawnWaitable(const std::vector<std::string>& args, Process* process, int keepFd = -1,
                  int workingDir = -1) {
  SpawnSetup setup(Detach::kGroup, keepFd, workingDir);
  pid_t pid = -1;
  const int err = setup.Spawn(args, &pid, keepFd < 0 ? nullptr : kHeldPath);
  if (err != 0) {
    errno = err;
    return 0;
  }
  // The child cannot have been reaped yet, so its pid still names it.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    // It runs, but there is nothing to wait on: at least reap it.
    ReapInBackground(P_PID, static_cast<id_t>(pid));
    return 1;
  }
  fcntl(pidfd, F_SETFD, FD_CLOEXEC);
  *process = Process(pidfd);
  return 1;
}

}  // namespace

int LaunchInstaller(const std::string& path, Process* process) {
  *process = Process();
  if (!MakeOwnerExecutable(path)) return 0;
  return SpawnWaitable({path, "/verysilent"}, process);
}

int LaunchHeldInstaller(const HeldFile& file, const std::string& path, Process* process,
                        const Folder* workingFolder) {
  *process = Process();
  if (!file.valid() || !file.singleName() || (workingFolder != nullptr && !workingFolder->valid())) {
    errno = EINVAL;
    return 0;
  }
  const int fd = static_cast<int>(file.native());
  // Through the held descriptor, as MakeOwnerExecutable does by name;
  // failing is left to the exec to report.
  fchmod(fd, 0700);
  // The installer's descriptor 3 shares this open file, and with it the
  // lock, which then lasts until the installer has ended: a later run must
  // not sweep the folder it runs from. A lock refused changes nothing else.
  flock(fd, LOCK_EX | LOCK_NB);
  return SpawnWaitable({path, "/verysilent"}, process, fd,
                       workingFolder != nullptr ? static_cast<int>(workingFolder->native()) : -1);
}

int LaunchScript(const std::string& path, Process* process) {
  *process = Process();
  // The shell would start and fail on a missing script, which would look
  // like a successful launch.
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return SpawnWaitable({"/bin/sh", path}, process);
}

int LaunchClient(const std::string& path) {
  SpawnSetup setup(Detach::kSession);
  pid_t pid = -1;
  const int err = setup.Spawn({path}, &pid);
  if (err != 0) {
    errno = err;
    return 0;
  }
  ReapInBackground(P_PID, static_cast<id_t>(pid));
  return 1;
}

std::uint32_t WaitForProcess(const Process& process, std::uint32_t timeoutMs,
                             std::optional<std::uint32_t>* exitCode) {
  if (exitCode != nullptr) exitCode->reset();
  if (!process) {
    errno = EBADF;
    return kWaitFailed;
  }
  const int pidfd = static_cast<int>(process.native());
  const Deadline deadline = timeoutMs == 0xFFFFFFFFu  // INFINITE
                                ? Deadline::Never()
                                : Deadline::After(std::chrono::milliseconds(timeoutMs));
  for (;;) {
    pollfd pfd{pidfd, POLLIN, 0};
    const int rc = poll(&pfd, 1, deadline.MillisecondsLeft());
    if (rc < 0) {
      if (errno == EINTR) continue;
      return kWaitFailed;
    }
    if (rc == 0) {
      if (deadline.Expired()) return kWaitTimeout;
      continue;
    }
    if ((pfd.revents & POLLNVAL) != 0) {
      errno = EBADF;
      return kWaitFailed;
    }
    break;
  }
  siginfo_t info;
  for (;;) {
    info = siginfo_t();
    if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info,
               WEXITED) == 0) {
      // A process ended by a signal has no exit code to give.
      if (exitCode != nullptr && info.si_code == CLD_EXITED) {
        *exitCode = static_cast<std::uint32_t>(info.si_status);
      }
      return kWaitEnded;
    }
    if (errno == EINTR) continue;
    // Someone else reaped it already (SIGCHLD ignored): it has ended.
    if (errno == ECHILD) return kWaitEnded;
    return kWaitFailed;
  }
}

void Process::Close() {
  if (native_ == kNone) return;
  const int pidfd = static_cast<int>(native_);
  native_ = kNone;
  const int saved = errno;
  siginfo_t info;
  int rc;
  do {
    info = siginfo_t();
    rc = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info,
                WEXITED | WNOHANG);
  } while (rc < 0 && errno == EINTR);
  errno = saved;
  // Still running (a wait that timed out): it keeps running, and whoever
  // reaps it must outlive this call, or it would stay a zombie for as long as
  // the upgrader runs.
  if (rc == 0 && info.si_pid == 0) {
    ReapInBackground(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd));
    return;
  }
  close(pidfd);
}

}  // namespace brisvane::platform
