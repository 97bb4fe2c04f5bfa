/* BrisvaneUpgrade client library: what a client application does to hand an
 * upgrade over to the upgrader (BrisvaneUpgrade) running for the same user.
 *
 * Linux: the request goes over the upgrader's Unix socket in the user's
 * runtime folder ($XDG_RUNTIME_DIR, /run/user/<login uid>, /tmp/brisvane-<uid>).
 * Windows: it goes as WM_COPYDATA to the top-level window titled
 * "BrisvaneUpgrade" whose process runs BrisvaneUpgrade.exe.
 *
 * Nothing here keeps state between calls; every call may come from any
 * thread. Descriptors and handles opened are closed before the call returns
 * and are never inherited by child processes.
 *
 * C++17 (namespace brisvane) and plain C (C99, the brisvane_* functions).
 * Link the static library Brisvane::UpgradeClient (CMake) or
 * brisvane-upgrade-client (pkg-config).
 */
#ifndef BRISVANE_UPGRADE_CLIENT_H
#define BRISVANE_UPGRADE_CLIENT_H

#include <stddef.h>
#include <stdint.h>

/* Longest URL, in bytes, the upgrader takes. */
#define BRISVANE_MAX_URL_BYTES 65536
/* Time limit of a hand-over when the caller gives none. */
#define BRISVANE_DEFAULT_TIMEOUT_MS 30000

/* Outcomes of brisvane_hand_over_upgrade. */
#define BRISVANE_REPLIED 0     /* the upgrader took the URL and replied */
#define BRISVANE_NO_UPGRADER 1 /* no upgrader is running to take it */
#define BRISVANE_FAILED 2      /* an upgrader may run, but the hand-over failed */

#ifdef __cplusplus
extern "C" {
#endif

/* Hands the installer URL `url` (a NUL-terminated string of at most
 * BRISVANE_MAX_URL_BYTES bytes) to the running upgrader and waits for its
 * reply, all within `timeout_ms` milliseconds (BRISVANE_DEFAULT_TIMEOUT_MS
 * when not positive). Returns BRISVANE_REPLIED and stores the upgrader's
 * reply in `*reply` (0: it takes the upgrade), or BRISVANE_NO_UPGRADER /
 * BRISVANE_FAILED and leaves `*reply` alone. `reason` receives a one-line
 * reason for anything but BRISVANE_REPLIED ("" then), cut to fit
 * `reason_size` bytes and always NUL-terminated. `reply` and `reason` may be
 * NULL, `reason_size` 0. A NULL `url` fails. */
int brisvane_hand_over_upgrade(const char* url, int timeout_ms, int32_t* reply, char* reason,
                               size_t reason_size);

/* Waits up to `timeout_ms` milliseconds (one look when not positive) until
 * an upgrader is ready to take a request: the one the caller has just
 * started, typically. Returns 1 once it is, else 0 with a one-line reason in
 * `reason` (as above; "" on 1). */
int brisvane_wait_for_upgrader(int timeout_ms, char* reason, size_t reason_size);

#ifdef __cplusplus
}  /* extern "C" */

#include <chrono>
#include <cstdint>
#include <string>

namespace brisvane {

inline constexpr std::chrono::milliseconds kDefaultHandOverLimit{BRISVANE_DEFAULT_TIMEOUT_MS};

struct HandOverResult {
  enum class Status {
    kReplied,     // the upgrader took the URL; `reply` holds its answer
    kNoUpgrader,  // no upgrader is running to take it
    kFailed,      // an upgrader may run, but the hand-over failed
  };
  Status status = Status::kFailed;
  std::int32_t reply = 0;  // 0: the upgrader takes the upgrade
  std::string reason;      // one line; empty when kReplied
};

// Hands the installer URL `url` (bytes, at most BRISVANE_MAX_URL_BYTES) to
// the running upgrader and waits for its reply. `limit` bounds the whole
// exchange (connecting, sending, the reply); kDefaultHandOverLimit when not
// positive. Throws only std::bad_alloc.
HandOverResult HandOverUpgrade(const std::string& url,
                               std::chrono::milliseconds limit = kDefaultHandOverLimit);

// Waits up to `limit` (one look when not positive) until an upgrader is
// ready to take a request, looking again at a short interval. False, with
// a one-line reason in `*reason` when given, when none was by then.
// Throws only std::bad_alloc.
bool WaitForUpgrader(std::chrono::milliseconds limit, std::string* reason = nullptr);

}  // namespace brisvane
#endif /* __cplusplus */

#endif /* BRISVANE_UPGRADE_CLIENT_H */
