/* BrisvaneUpgrade client library: what a client application does to hand an
 * upgrade over to the upgrader (BrisvaneUpgrade) running for the same user,
 * and to learn, once started again, what became of the last upgrade.
 *
 * Linux: the request goes over the upgrader's Unix socket in the user's
 * runtime folder ($XDG_RUNTIME_DIR, /run/user/<login uid>, /tmp/brisvane-<uid>).
 * Windows: it goes as WM_COPYDATA to the top-level window titled
 * "BrisvaneUpgrade" whose process runs BrisvaneUpgrade.exe. The elevated
 * upgrader hears only elevated senders: a caller without raised rights
 * reaches it through brisvane_start_upgrade alone, which puts the request on
 * the command line of the upgrader it starts.
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

/* Time limit of brisvane_start_upgrade when the caller gives none. Windows:
 * two minutes, since it covers the elevation prompt, which waits for the
 * user. Linux: seconds, since nothing waits for the user there. */
#ifdef _WIN32
#define BRISVANE_DEFAULT_START_TIMEOUT_MS 120000
#else
#define BRISVANE_DEFAULT_START_TIMEOUT_MS 15000
#endif

/* The upgrader's replies to a request. A sender that only checks for 0 reads
 * them rightly: 0 alone means the upgrade was taken. */
#define BRISVANE_REPLY_TAKEN 0       /* the upgrader takes the upgrade */
#define BRISVANE_REPLY_BUSY 1        /* another upgrade is under way: ignored */
#define BRISVANE_REPLY_EMPTY_URL 2   /* refused: the URL is empty */
#define BRISVANE_REPLY_UNSAFE_NAME 3 /* refused: its installer name would leave the download folder */
#define BRISVANE_REPLY_NUL_IN_URL 4  /* refused: the URL holds a NUL before its end */
#define BRISVANE_REPLY_CLOSING 5     /* the upgrader is closing and takes nothing more */
#define BRISVANE_REPLY_NO_INSTALLER_NAME 6 /* refused: the URL names no installer file */

/* Outcomes of brisvane_hand_over_upgrade. */
#define BRISVANE_REPLIED 0     /* the upgrader took the URL (its reply is 0) */
#define BRISVANE_NO_UPGRADER 1 /* no upgrader is running to take it */
#define BRISVANE_FAILED 2      /* an upgrader may run, but the hand-over failed */
#define BRISVANE_BUSY 3        /* the upgrader replied BRISVANE_REPLY_BUSY or _CLOSING */
#define BRISVANE_REFUSED 4     /* it refused the request (another reply) */

/* Outcomes of brisvane_start_upgrade. */
#define BRISVANE_START_TAKEN 0           /* the upgrader runs and took the upgrade */
#define BRISVANE_START_GUARD_HELD 1      /* the single-instance guard is still held */
#define BRISVANE_START_DECLINED 2        /* the user declined elevation */
#define BRISVANE_START_NOT_STARTED 3     /* the upgrader could not be found or started */
#define BRISVANE_START_EXITED_EARLY 4    /* it exited before it listened */
#define BRISVANE_START_BUSY 5            /* another upgrade is under way */
#define BRISVANE_START_REFUSED 6         /* the request was refused */
#define BRISVANE_START_FAILED 7          /* no answer within the limit, or another failure */
#define BRISVANE_START_NO_DISPLAY 8      /* the upgrader found no display to show its window on */

/* Outcomes of brisvane_guard_take. */
#define BRISVANE_GUARD_TAKEN 0          /* the caller holds the guard now */
#define BRISVANE_GUARD_HELD_ELSEWHERE 1 /* another process holds it (another client, an upgrader) */
#define BRISVANE_GUARD_FAILED 2         /* it could not be looked at or taken */

/* Languages of brisvane_describe_last_upgrade. */
#define BRISVANE_LANGUAGE_ENGLISH 0
#define BRISVANE_LANGUAGE_SIMPLIFIED_CHINESE 1

/* Outcomes of brisvane_read_last_upgrade. */
#define BRISVANE_RECORD_READ 0       /* the record was read */
#define BRISVANE_NO_RECORD 1         /* no upgrade has left a record */
#define BRISVANE_RECORD_UNREADABLE 2 /* a record may be there, but cannot be read */

/* What became of the last upgrade (the record's "result"). */
#define BRISVANE_UPGRADE_INSTALLED 0             /* "installed": the installer exited with 0 */
#define BRISVANE_UPGRADE_INSTALLER_FAILED 1      /* "installer-failed": with another code */
#define BRISVANE_UPGRADE_INSTALLER_TIMEOUT 2     /* "installer-timeout": still running after 120 s */
#define BRISVANE_UPGRADE_INSTALLER_NOT_STARTED 3 /* "installer-not-started" */
#define BRISVANE_UPGRADE_DOWNLOAD_FAILED 4       /* "download-failed" */
#define BRISVANE_UPGRADE_SIGNATURE_REFUSED 5     /* "signature-refused" */

/* The outcome record the upgrader leaves in its data folder before it starts
 * the client again (Linux: $XDG_DATA_HOME/Tamberk/Brisvane/last-upgrade.json,
 * ~/.local/share when XDG_DATA_HOME is unset; Windows:
 * %LOCALAPPDATA%\Tamberk\Brisvane\last-upgrade.json). Text fields are UTF-8,
 * cut to fit as reasons are; `cut` is 1 when any of them was. */
struct brisvane_last_upgrade {
  int result;              /* BRISVANE_UPGRADE_* */
  char result_text[32];    /* as recorded: "installed", ... */
  char installer[256];     /* the installer's file name */
  char url[2048];          /* where it came from, never with user:password */
  uint64_t bytes_received; /* bytes downloaded */
  int http_status;         /* the server's last status, 0 when none answered */
  int has_download_error;  /* 1 when the download failed: */
  int download_error;      /*   its libcurl code (CURLcode) */
  int has_installer_exit_code;  /* 1 when the installer ended by exiting: */
  uint32_t installer_exit_code; /*   its exit code */
  int has_script_exit_code;     /* 1 when the post-install script ended by exiting: */
  uint32_t script_exit_code;    /*   its exit code */
  int signature_verified;  /* 1 when the installer's signature was checked and good */
  char key_id[32];         /* the signing key's id, "" when none */
  char started[24];        /* UTC, "YYYY-MM-DDTHH:MM:SSZ" */
  char ended[24];
  char upgrader_version[32];
  int has_request_id;      /* 1 when the request carried an id: */
  uint64_t request_id;     /*   that id */
  char signature_problem[256]; /* why the signature was refused, "" otherwise */
  int server_answered;     /* 1 when the server itself (not a proxy) sent a response, of any status */
  char download_error_text[256]; /* libcurl's own text for download_error, "" when none */
  int has_retry_after;     /* 1 when a busy server said when to come back: */
  uint64_t retry_after;    /*   after so many seconds, counted from the record's "ended" */
  int cut;
};

/* The single-instance guard ("bvc singleton mutex") as the upgrader reads
 * it. Opaque; made by brisvane_guard_take, freed by brisvane_guard_release. */
typedef struct brisvane_guard brisvane_guard;

/* Options of brisvane_start_upgrade_with and _async. All-zero is the
 * default: the upgrader beside the caller, a new request id, the default
 * limit, no guard. */
struct brisvane_start_options {
  const char* upgrader_path; /* UTF-8; NULL or "": beside the calling executable */
  uint64_t request_id;       /* 0: one is made */
  int timeout_ms;            /* not positive: BRISVANE_DEFAULT_START_TIMEOUT_MS */
  brisvane_guard* guard;     /* the caller's guard, released and taken back (below); NULL: none */
};

/* What a start came to. */
struct brisvane_start_result {
  int status;           /* BRISVANE_START_* */
  uint64_t request_id;  /* the id the request carried */
  int32_t reply;        /* BRISVANE_REPLY_*, -1 when none came */
  int started;          /* 1 when this call started an upgrader */
  char reason[512];     /* one line, "" when taken; cut to fit */
};

/* A start running on a thread of the library's (brisvane_start_upgrade_async). */
typedef struct brisvane_pending_start brisvane_pending_start;

/* Called once, on the library's thread, when an asynchronous start ends.
 * `result` lives only during the call. */
typedef void (*brisvane_start_callback)(const struct brisvane_start_result* result, void* context);

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

/* As brisvane_hand_over_upgrade, and the request carries `request_id` (0:
 * none), which the upgrader writes into the outcome record it leaves. Returns
 * BRISVANE_REPLIED, BRISVANE_BUSY or BRISVANE_REFUSED with the reply in
 * `*reply` and, unless replied, a reason naming it; or BRISVANE_NO_UPGRADER /
 * BRISVANE_FAILED as above. */
int brisvane_hand_over_upgrade_with_id(const char* url, uint64_t request_id, int timeout_ms,
                                       int32_t* reply, char* reason, size_t reason_size);

/* Starts the upgrader and hands it `url`: the one call a client needs to
 * begin an upgrade. The single-instance guard ("bvc singleton mutex") must
 * be free: a client that holds it through brisvane_guard_take hands it to
 * brisvane_start_upgrade_with, which gives it up itself; here the caller
 * releases it first, and a guard still held gives BRISVANE_START_GUARD_HELD
 * at once, with nothing started.
 *
 * `upgrader_path` (UTF-8; NULL or "" for BrisvaneUpgrade / BrisvaneUpgrade.exe
 * beside the calling executable) is started unless an upgrader already
 * listens, in which case the URL goes to that one. One that answers that it
 * is closing (the upgrader that has just started this client again, say)
 * is waited for until it has gone, and a new one is started; one that goes
 * away under the hand-over likewise. Linux: in a session of its
 * own, with no descriptor of the caller, standard streams on /dev/null; it is
 * the caller's child until the caller exits, which a client does right after
 * a taken request. Windows: through ShellExecuteExW with "runas", which shows
 * the elevation prompt (an upgrader the user allows only after the limit is
 * ended at once). The call then waits until the
 * upgrader listens, hands the URL over with `request_id` (0: one is made;
 * any other value is sent as it is) and returns BRISVANE_START_*, with the
 * id used in `*used_request_id` (when not NULL) and a one-line reason for
 * anything but BRISVANE_START_TAKEN. BRISVANE_START_BUSY means that another
 * upgrade is under way: that upgrader starts the client again when it is
 * done. BRISVANE_START_NO_DISPLAY: the upgrader found no display to show
 * its window on. An upgrader this call started but that did not take the URL
 * is closed again, as Escape would close it.
 *
 * Windows, caller without raised rights: the URL and the id go on the
 * started upgrader's command line ("--request <id> <url>") instead, so that
 * the elevation prompt the user answers is for this request; the upgrade is
 * taken once the window of the very process started exists, and refused or
 * busy (the reply from its exit code, 100 + reply) when it ends first. A
 * URL holding a NUL, not valid UTF-8, or too long for a command line (32767
 * characters with the upgrader's path) gives BRISVANE_START_REFUSED before
 * anything starts. Everything happens within `timeout_ms`
 * (BRISVANE_DEFAULT_START_TIMEOUT_MS when not positive); the call blocks
 * its thread until then at most: brisvane_start_upgrade_async does not. */
int brisvane_start_upgrade(const char* url, const char* upgrader_path, uint64_t request_id,
                           int timeout_ms, uint64_t* used_request_id, char* reason,
                           size_t reason_size);

/* As brisvane_start_upgrade, with its options in `options` (NULL: all
 * defaults) and what it came to in `*result` (not NULL). With a guard in
 * the options the call releases it before it starts anything and, when the
 * upgrade was not taken, takes it back (brisvane_guard_held tells whether it
 * could). Returns result->status. */
int brisvane_start_upgrade_with(const char* url, const struct brisvane_start_options* options,
                                struct brisvane_start_result* result);

/* Starts brisvane_start_upgrade_with on a thread of the library's and
 * returns at once, so that a GUI thread is not held. `callback` (may be
 * NULL) is called once with the result on that thread; the handle can also
 * be waited on, and a wait that returns 1 comes after the callback has
 * returned. The options' strings are copied; a guard in them is the
 * start's until it ends. Returns NULL only when the thread could not be
 * made (out of memory): then nothing was started and `callback` is not
 * called. */
brisvane_pending_start* brisvane_start_upgrade_async(const char* url,
                                                     const struct brisvane_start_options* options,
                                                     brisvane_start_callback callback,
                                                     void* context);

/* Waits up to `timeout_ms` (not positive: one look; -1 would be no
 * different) for the start to end. Returns 1 with the result in `*result`
 * (when not NULL) once it has, else 0. */
int brisvane_pending_start_wait(brisvane_pending_start* pending, int timeout_ms,
                                struct brisvane_start_result* result);

/* Lets go of the handle. A start still running goes on to its end (its
 * callback is still called); NULL does nothing. */
void brisvane_pending_start_free(brisvane_pending_start* pending);

/* Takes the single-instance guard exactly as the upgrader reads it (Windows:
 * the named mutex exists; Linux: the flock on the file of that name in the
 * runtime folder) and keeps it until brisvane_guard_release. Returns
 * BRISVANE_GUARD_TAKEN with the guard in `*guard`, or
 * BRISVANE_GUARD_HELD_ELSEWHERE / BRISVANE_GUARD_FAILED with `*guard` NULL
 * and a one-line reason. */
int brisvane_guard_take(brisvane_guard** guard, char* reason, size_t reason_size);

/* 1 while `guard` holds the guard (after brisvane_start_upgrade_with gave it
 * up and could not take it back: 0). */
int brisvane_guard_held(const brisvane_guard* guard);

/* Gives the guard up and frees `guard`; NULL does nothing. */
void brisvane_guard_release(brisvane_guard* guard);

/* Waits up to `timeout_ms` milliseconds (one look when not positive) until
 * an upgrader is ready to take a request: the one the caller has just
 * started, typically. Returns 1 once it is, else 0 with a one-line reason in
 * `reason` (as above; "" on 1). */
int brisvane_wait_for_upgrader(int timeout_ms, char* reason, size_t reason_size);

/* Reads the last upgrade's outcome record as the calling user. Returns
 * BRISVANE_RECORD_READ with the record in `*out`, or BRISVANE_NO_RECORD /
 * BRISVANE_RECORD_UNREADABLE with `*out` zeroed. `reason` receives a one-line
 * reason for anything but BRISVANE_RECORD_READ ("" then), as above. `out` and
 * `reason` may be NULL, `reason_size` 0. */
int brisvane_read_last_upgrade(struct brisvane_last_upgrade* out, char* reason,
                               size_t reason_size);

/* 1 when `record` is the answer to the request sent with `request_id`
 * (not 0), else 0. */
int brisvane_last_upgrade_answers(const struct brisvane_last_upgrade* record,
                                  uint64_t request_id);

/* One line to show the user for `record`: what happened and, for a failure,
 * why in words a user acts on (the server refused it, with the HTTP status
 * and its reason phrase; it could not be reached; the connection broke off;
 * the installer's exit code; the signature not accepted) and, when a busy
 * server said when to come back, when to try again, in
 * BRISVANE_LANGUAGE_ENGLISH or BRISVANE_LANGUAGE_SIMPLIFIED_CHINESE (UTF-8;
 * any other value: English). Written into `text` as reasons are; returns the
 * line's whole length in bytes, so a return of `text_size` or more means it
 * was cut. A NULL `record` gives "" and 0. */
size_t brisvane_describe_last_upgrade(const struct brisvane_last_upgrade* record, int language,
                                      char* text, size_t text_size);

/* The sentence to show the user when no record answers the request the
 * client handed over (none, unreadable, or an older one): the update did not
 * finish. Written and returned as brisvane_describe_last_upgrade. */
size_t brisvane_describe_unanswered_upgrade(int language, char* text, size_t text_size);

/* One line for the client's own log, in English, with the numbers behind
 * `record`'s sentence (result, HTTP status, libcurl's code and text, exit
 * codes, the request id). Written and returned as above. */
size_t brisvane_describe_last_upgrade_detail(const struct brisvane_last_upgrade* record,
                                             char* text, size_t text_size);

#ifdef __cplusplus
}  /* extern "C" */

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace brisvane {

inline constexpr std::chrono::milliseconds kDefaultHandOverLimit{BRISVANE_DEFAULT_TIMEOUT_MS};
inline constexpr std::chrono::milliseconds kDefaultStartLimit{BRISVANE_DEFAULT_START_TIMEOUT_MS};

struct HandOverResult {
  enum class Status {
    kReplied,     // the upgrader took the URL (`reply` is 0)
    kNoUpgrader,  // no upgrader is running to take it
    kFailed,      // an upgrader may run, but the hand-over failed
    kBusy,        // it replied BRISVANE_REPLY_BUSY or BRISVANE_REPLY_CLOSING
    kRefused,     // it refused the request; `reply` and `reason` say why
  };
  Status status = Status::kFailed;
  std::int32_t reply = 0;  // BRISVANE_REPLY_*, when the upgrader replied
  std::string reason;      // one line; empty when kReplied
};

// Hands the installer URL `url` (bytes, at most BRISVANE_MAX_URL_BYTES) to
// the running upgrader and waits for its reply. `limit` bounds the whole
// exchange (connecting, sending, the reply); kDefaultHandOverLimit when not
// positive. `requestId` (0: none) goes with the request and comes back in
// the outcome record. Throws only std::bad_alloc.
HandOverResult HandOverUpgrade(const std::string& url,
                               std::chrono::milliseconds limit = kDefaultHandOverLimit,
                               std::uint64_t requestId = 0);

// The single-instance guard ("bvc singleton mutex") as the upgrader reads
// it: a client holds one while it runs, so that no upgrader replaces it
// under its feet, and hands it to StartUpgrade (StartOptions::guard), which
// gives it up for the upgrader and takes it back when the upgrade was not
// taken. Released when destroyed. Move-only; not for two threads at once.
class ClientGuard {
 public:
  enum class Status {
    kTaken = BRISVANE_GUARD_TAKEN,                  // held by this object now
    kHeldElsewhere = BRISVANE_GUARD_HELD_ELSEWHERE,  // another process holds it
    kFailed = BRISVANE_GUARD_FAILED,                 // it could not be looked at or taken
  };
  ClientGuard() = default;
  ~ClientGuard();
  ClientGuard(ClientGuard&& other) noexcept;
  ClientGuard& operator=(ClientGuard&& other) noexcept;
  ClientGuard(const ClientGuard&) = delete;
  ClientGuard& operator=(const ClientGuard&) = delete;

  // Takes the guard (kTaken at once when this object holds it already).
  // Not kTaken: `*reason`, when given, says why in one line. Throws only
  // std::bad_alloc.
  Status Take(std::string* reason = nullptr);
  // True while this object holds the guard.
  bool Held() const { return native_ != kNone; }
  // Gives the guard up; does nothing when it is not held.
  void Release();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t native_ = kNone;
};

struct StartOptions {
  // The upgrader to start; empty: BrisvaneUpgrade (BrisvaneUpgrade.exe on
  // Windows) beside the calling executable.
  std::string upgraderPath;
  // Sent with the request; 0: a new one is made. Any other value is sent
  // as it is.
  std::uint64_t requestId = 0;
  // Bounds the whole call; kDefaultStartLimit when not positive.
  std::chrono::milliseconds limit = kDefaultStartLimit;
  // The caller's guard, or null. StartUpgrade releases it before it starts
  // anything and, when the upgrade was not taken, takes it back
  // (guard->Held() tells whether it could). Without one the caller must
  // have released its guard itself.
  ClientGuard* guard = nullptr;
};

struct StartResult {
  enum class Status {
    kTaken = BRISVANE_START_TAKEN,
    kGuardHeld = BRISVANE_START_GUARD_HELD,
    kDeclined = BRISVANE_START_DECLINED,
    kNotStarted = BRISVANE_START_NOT_STARTED,
    kExitedEarly = BRISVANE_START_EXITED_EARLY,
    kBusy = BRISVANE_START_BUSY,
    kRefused = BRISVANE_START_REFUSED,
    kFailed = BRISVANE_START_FAILED,
    kNoDisplay = BRISVANE_START_NO_DISPLAY,
  };
  Status status = Status::kFailed;
  std::uint64_t requestId = 0;  // the id the request carried
  std::int32_t reply = -1;      // BRISVANE_REPLY_*, -1 when none came
  bool started = false;         // this call started an upgrader
  std::string reason;           // one line; empty when kTaken
};

// Starts the upgrader and hands it `url`, as brisvane_start_upgrade above
// describes: it waits for an upgrader that is closing, and gives up and
// takes back the guard in `options.guard`. Without one, release the
// single-instance guard first. Throws only std::bad_alloc.
StartResult StartUpgrade(const std::string& url, const StartOptions& options = {});

// A start running on a thread of the library's (StartUpgradeAsync).
// Move-only; letting go of it does not stop the start.
class PendingStart {
 public:
  PendingStart();
  ~PendingStart();
  PendingStart(PendingStart&& other) noexcept;
  PendingStart& operator=(PendingStart&& other) noexcept;
  PendingStart(const PendingStart&) = delete;
  PendingStart& operator=(const PendingStart&) = delete;

  // True once the start has ended, waiting up to `limit` for it (one look
  // when not positive). False for an empty handle.
  bool Wait(std::chrono::milliseconds limit);
  // The start's result, once Wait has returned true; before that, or for an
  // empty handle, a kFailed result saying so.
  StartResult Result() const;

  struct State;  // the library's

 private:
  friend PendingStart StartUpgradeAsync(const std::string& url, const StartOptions& options,
                                        std::function<void(const StartResult&)> onDone);
  std::shared_ptr<State> state_;
};

// StartUpgrade on a thread of the library's: returns at once, so that a GUI
// thread is not held. `onDone` (may be empty) is called once with the
// result, on that thread, before Wait sees the end: a GUI client posts it
// to its own thread from there, or polls Wait(0) from a timer.
// `options.guard` is the start's until it ends. Throws std::bad_alloc,
// and std::system_error when no thread could be made (then nothing was
// started).
PendingStart StartUpgradeAsync(const std::string& url, const StartOptions& options = {},
                               std::function<void(const StartResult&)> onDone = {});

// Waits up to `limit` (one look when not positive) until an upgrader is
// ready to take a request, looking again at a short interval. False, with
// a one-line reason in `*reason` when given, when none was by then.
// Throws only std::bad_alloc.
bool WaitForUpgrader(std::chrono::milliseconds limit, std::string* reason = nullptr);

// The last upgrade's outcome record (see brisvane_last_upgrade above).
struct LastUpgrade {
  enum class Result {
    kInstalled = BRISVANE_UPGRADE_INSTALLED,
    kInstallerFailed = BRISVANE_UPGRADE_INSTALLER_FAILED,
    kInstallerTimeout = BRISVANE_UPGRADE_INSTALLER_TIMEOUT,
    kInstallerNotStarted = BRISVANE_UPGRADE_INSTALLER_NOT_STARTED,
    kDownloadFailed = BRISVANE_UPGRADE_DOWNLOAD_FAILED,
    kSignatureRefused = BRISVANE_UPGRADE_SIGNATURE_REFUSED,
  };
  Result result = Result::kInstalled;
  std::string resultText;  // as recorded: "installed", ...
  std::string installer;
  std::string url;
  std::uint64_t bytesReceived = 0;
  int httpStatus = 0;
  std::optional<int> downloadError;  // CURLcode
  std::optional<std::uint32_t> installerExitCode;
  std::optional<std::uint32_t> scriptExitCode;
  bool signatureVerified = false;
  std::string keyId;  // empty when none
  std::string started;
  std::string ended;
  std::string upgraderVersion;
  std::optional<std::uint64_t> requestId;  // the request's id, when it carried one
  std::string signatureProblem;            // why the signature was refused
  bool serverAnswered = false;             // the server itself (not a proxy) sent a response
  std::string downloadErrorText;           // libcurl's own text for downloadError
  // The seconds a busy server asked to wait before trying again, counted
  // from `ended`; set only when the download failed on such an answer.
  std::optional<std::uint64_t> retryAfter;
};

// True when `record` answers the request sent with `requestId` (not 0).
bool AnswersRequest(const LastUpgrade& record, std::uint64_t requestId);

enum class Language {
  kEnglish = BRISVANE_LANGUAGE_ENGLISH,
  kSimplifiedChinese = BRISVANE_LANGUAGE_SIMPLIFIED_CHINESE,
};

// One line (UTF-8) to show the user for `record`, as
// brisvane_describe_last_upgrade above. Throws only std::bad_alloc.
std::string DescribeLastUpgrade(const LastUpgrade& record, Language language = Language::kEnglish);

// The sentence to show the user when no record answers the request handed
// over (brisvane_describe_unanswered_upgrade). Throws only std::bad_alloc.
std::string DescribeUnansweredUpgrade(Language language = Language::kEnglish);

// One English line with the numbers behind `record`'s sentence, for the
// client's own log (brisvane_describe_last_upgrade_detail). Throws only
// std::bad_alloc.
std::string DescribeLastUpgradeDetail(const LastUpgrade& record);

struct LastUpgradeRead {
  enum class Status {
    kRead,        // `record` holds it
    kNoRecord,    // no upgrade has left a record
    kUnreadable,  // a record may be there, but cannot be read
  };
  Status status = Status::kUnreadable;
  LastUpgrade record;
  std::string reason;  // one line; empty when kRead
};

// Reads the last upgrade's outcome record as the calling user: at most 256
// KiB, never through a link at its name, nothing left open. Throws only
// std::bad_alloc.
LastUpgradeRead ReadLastUpgrade();

}  // namespace brisvane
#endif /* __cplusplus */

#endif /* BRISVANE_UPGRADE_CLIENT_H */
