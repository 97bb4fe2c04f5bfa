#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "signals.h"

namespace brisvane::platform {
namespace {

int g_signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  // Only async-signal-safe work here: one byte into the pipe; a full pipe
  // already carries a wake-up, so a failed write loses nothing.
  const int savedErrno = errno;
  const char byte = 1;
  ssize_t ignored = write(g_signalPipe[1], &byte, 1);
  (void)ignored;
  errno = savedErrno;
}

}  // namespace

int WatchTerminationSignals() {
  if (g_signalPipe[0] >= 0) return g_signalPipe[0];
  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  struct sigaction action = {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  return g_signalPipe[0];
}

void DrainTerminationSignals() {
  if (g_signalPipe[0] < 0) return;
  char drain[64];
  while (read(g_signalPipe[0], drain, sizeof drain) > 0) {
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
