// A run that finds no display to show its window on (Qt cannot open its
// platform: on Linux, no X server or Wayland compositor it can reach) ends
// with a line in the log and an exit code of its own, rather than Qt's abort.
#pragma once

#include <cstdio>

// While one exists, a fatal message from Qt is taken as "no display": it is
// logged as an ERROR line (with the warnings Qt gave before it), "upgrade
// end" follows, `log` (may be null) is flushed and the process exits with
// platform::kNoDisplayExitCode at once. Other messages go on to the handler
// that was installed before. Construct it around QApplication's
// construction, on the main thread, before any other thread starts.
class NoDisplayExit {
 public:
  explicit NoDisplayExit(std::FILE* log);
  ~NoDisplayExit();
  NoDisplayExit(const NoDisplayExit&) = delete;
  NoDisplayExit& operator=(const NoDisplayExit&) = delete;
};
