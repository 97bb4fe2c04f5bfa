// The start's C shapes beside their C++ ones: shared by the C functions of
// start_c.cpp, client_guard.cpp and pending_start.cpp. Internal to the
// client library.
#pragma once

#include "brisvane/upgrade_client.h"

// What brisvane_guard_take hands out: a ClientGuard on the heap.
struct brisvane_guard {
  brisvane::ClientGuard guard;
};

namespace brisvane::c_start {

// `options` (NULL: all defaults) as StartOptions, its strings copied.
// Throws only std::bad_alloc.
StartOptions Options(const brisvane_start_options* options);

// `result` into `*out`, its reason cut to fit.
void Result(const StartResult& result, brisvane_start_result* out);

// A failed result with `reason` (the call's own failure, no upgrader
// involved) into `*out`; allocates nothing.
void Failed(const char* reason, brisvane_start_result* out);

}  // namespace brisvane::c_start
