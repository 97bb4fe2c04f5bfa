#include "signals.h"

namespace brisvane::platform {

// Windows ends a GUI process through its window (WM_CLOSE), which the
// framework already turns into a close; there is no signal to watch.
int WatchTerminationSignals() { return -1; }

void DrainTerminationSignals() {}

void IgnoreBrokenPipe() {}

void RestoreChildSignal() {}

}  // namespace brisvane::platform
