#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "signals.h"

namespace brisvane::platform {
namespace {

int g_signalFd = -1;

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

int WatchTerminationSignals() {
  if (g_signalFd >= 0) return g_signalFd;
  // Blocked in every thread, they wait in the kernel until the event loop
  // reads the descriptor: none is lost on a thread that is still starting,
  // none that comes before the loop runs ends the process unlogged, and no
  // system call is interrupted. Threads started later inherit the mask;
  // launched processes are given an empty one.
  const sigset_t set = TerminationSignals();
  sigset_t previous;
  if (pthread_sigmask(SIG_BLOCK, &set, &previous) != 0) return -1;
  g_signalFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  // Without a descriptor nothing would ever take them: let them end the
  // process as they would by default.
  if (g_signalFd < 0) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return g_signalFd;
}

void DrainTerminationSignals() {
  if (g_signalFd < 0) return;
  signalfd_siginfo drain[4];
  while (read(g_signalFd, drain, sizeof drain) > 0) {
  }
}

void IgnoreBrokenPipe() {
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

void RestoreChildSignal() {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGCHLD, &action, nullptr);
}

}  // namespace brisvane::platform
