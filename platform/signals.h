// Process signals (Linux only; no-ops on Windows); signals_posix.cpp /
// signals_win.cpp, chosen by CMake.
#pragma once

namespace brisvane::platform {

// Routes SIGTERM and SIGINT to a descriptor that becomes readable when one
// arrives, so the event loop can close the window as Escape does: they are
// blocked in the calling thread and in every thread it starts afterwards.
// Returns -1 where the platform has no such signals (Windows), or when no
// descriptor could be made (the signals then keep their default action).
// Call once, before any thread starts.
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

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
