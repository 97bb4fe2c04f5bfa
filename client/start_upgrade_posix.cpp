// Linux back end of StartUpgrade: the upgrader is spawned in a session of its
// own with nothing of the caller's but its environment, and watched as the
// caller's child.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "background_call.h"
#include "last_error.h"
#include "request_protocol.h"
#include "runtime_dir.h"
#include "upgrade_client_backend.h"

extern char** environ;

namespace brisvane::backend {

namespace {

constexpr std::chrono::milliseconds kExitPollInterval{20};

// The spawn's settings: a new session (no terminal's hang-up reaches it),
// signals as a fresh process has them, the standard streams on /dev/null
// and every other descriptor closed.
class SpawnSetup {
 public:
  SpawnSetup() {
    attrMade_ = posix_spawnattr_init(&attr_) == 0;
    actionsMade_ = posix_spawn_file_actions_init(&actions_) == 0;
    if (!attrMade_ || !actionsMade_) {
      error_ = ENOMEM;
      return;
    }
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    Keep(posix_spawnattr_setsigmask(&attr_, &none));
    Keep(posix_spawnattr_setsigdefault(&attr_, &all));
    Keep(posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF));
    for (int fd = 0; fd < 3; ++fd) {
      Keep(posix_spawn_file_actions_addopen(&actions_, fd, "/dev/null",
                                            fd == 0 ? O_RDONLY : O_WRONLY, 0));
    }
    Keep(posix_spawn_file_actions_addclosefrom_np(&actions_, 3));
  }
  ~SpawnSetup() {
    if (actionsMade_) posix_spawn_file_actions_destroy(&actions_);
    if (attrMade_) posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // 0, or the error number of the setup or the spawn: a setup that failed
  // in part would let the upgrader inherit what it must not.
  int Spawn(const std::string& path, const std::vector<std::string>& arguments, pid_t* pid) {
    if (error_ != 0) return error_;
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    return posix_spawn(pid, path.c_str(), &actions_, &attr_, argv.data(), environ);
  }

 private:
  void Keep(int error) {
    if (error_ == 0) error_ = error;
  }

  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
  bool attrMade_ = false;
  bool actionsMade_ = false;
  int error_ = 0;
};

}  // namespace

bool PassesRequestOnCommandLine() { return false; }

// argv takes any bytes but NUL, which StartUpgrade refuses itself.
std::string CommandLineProblem(const std::string& /*path*/,
                               const std::vector<std::string>& /*arguments*/) {
  return std::string();
}

bool GuardHeld() {
  const std::string dir = platform::RuntimeDir();
  if (dir.empty()) return false;
  const std::string path = dir + "/" + platform::kSingletonGuardName;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;  // never created: nobody holds it
  // A shared lock is refused while anyone, this process included through
  // another descriptor, holds the exclusive one; taken, it goes at once.
  int rc;
  do {
    rc = flock(fd, LOCK_SH | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  const bool held = rc != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

std::string DefaultUpgraderPath(std::string* reason) {
  std::string self(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", &self[0], self.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= self.size()) {
    *reason = "the calling executable's folder is unknown: " +
              platform::ErrorWords(n < 0 ? errno : ENAMETOOLONG);
    return std::string();
  }
  self.resize(static_cast<std::size_t>(n));
  return self.substr(0, self.rfind('/') + 1) + "BrisvaneUpgrade";
}

StartedUpgrader::~StartedUpgrader() = default;

StartedUpgrader::Launch StartedUpgrader::Start(const std::string& path,
                                               const std::vector<std::string>& arguments,
                                               const Limit& /*limit*/, std::string* reason) {
  pid_t pid = -1;
  const int err = SpawnSetup().Spawn(path, arguments, &pid);
  if (err != 0) {
    *reason = "the upgrader " + path + " could not be started: " + platform::ErrorWords(err);
    return Launch::kNotStarted;
  }
  native_ = pid;
  return Launch::kStarted;
}

bool StartedUpgrader::Exited(std::string* how, long long* exitCode) {
  if (exitCode != nullptr) *exitCode = -1;
  if (native_ < 0) return true;
  int status = 0;
  const pid_t done = waitpid(static_cast<pid_t>(native_), &status, WNOHANG);
  if (done == 0 || (done < 0 && errno == EINTR)) return false;
  native_ = -1;
  if (done < 0) {
    *how = "its end is unknown: " + platform::ErrorWords(errno);
  } else if (WIFEXITED(status)) {
    *how = "exit code " + std::to_string(WEXITSTATUS(status));
    if (exitCode != nullptr) *exitCode = WEXITSTATUS(status);
  } else {
    *how = "signal " + std::to_string(WTERMSIG(status));
  }
  return true;
}

bool StartedUpgrader::Serving() {
  // Only the Windows road starts an upgrader with its request; here a live
  // upgrader that listens is all there is to know.
  std::string why;
  return native_ >= 0 && UpgraderReady(&why);
}

void StartedUpgrader::AwaitExit(const platform::Deadline& deadline) {
  std::string how;
  while (!Exited(&how) && !deadline.Expired()) platform::SleepFor(kExitPollInterval);
}

void StartedUpgrader::Terminate() {
  // SIGTERM closes the window as Escape does, and only that process: the id
  // is still the child's, unreaped.
  if (native_ >= 0) kill(static_cast<pid_t>(native_), SIGTERM);
}

}  // namespace brisvane::backend
